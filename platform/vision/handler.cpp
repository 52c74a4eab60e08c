// The request handler: turns the stored picture upright once (8-bit BGR for
// the detectors) and finds the model directory.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "internal.h"

namespace vision {

namespace {

constexpr std::size_t largePicture = std::size_t{4} << 20;
// OpenCV's "work the step out" marker in allocators' step arrays.
constexpr std::size_t autoStep = 0x7fffffff;

// Memory for large pictures, kept for reuse when a picture is released: a
// program that looks at a picture twice (a verification pass) or at a
// series of pictures of one size gets memory already faulted in. First
// touching fresh memory costs more than copying into it (the system zeroes
// every page, and on some systems each fault is slow), so a full-size copy
// costs about half as much in reused memory. New blocks are aligned to
// 2 MiB and asked for huge pages. At most 256 MB is kept; a block is reused
// for a picture of at least three quarters of its size.
class RecyclingAllocator : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step, cv::AccessFlag,
                         cv::UMatUsageFlags) const override {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step) {
        if (data0 && step[i] != autoStep) {
          CV_Assert(total <= step[i]);
          total = step[i];
        } else {
          step[i] = total;
        }
      }
      total *= static_cast<std::size_t>(sizes[i]);
    }
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = data0 ? static_cast<uchar*>(data0) : take(total);
    u->size = total;
    if (data0) u->flags |= cv::UMatData::USER_ALLOCATED;
    return u;
  }
  bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override { return u != nullptr; }
  void deallocate(cv::UMatData* u) const override {
    if (!u) return;
    CV_Assert(u->urefcount == 0 && u->refcount == 0);
    if (!(u->flags & cv::UMatData::USER_ALLOCATED)) give(u->origdata);
    delete u;
  }

 private:
  static constexpr std::size_t keptLimit = std::size_t{256} << 20;

  uchar* take(std::size_t bytes) const {
    {
      const std::lock_guard lock(mutex_);
      auto best = kept_.end();
      for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        const std::size_t capacity = capacities_.at(*it);
        if (capacity >= bytes && capacity / 4 * 3 <= bytes &&
            (best == kept_.end() || capacity < capacities_.at(*best)))
          best = it;
      }
      if (best != kept_.end()) {
        uchar* block = *best;
        keptBytes_ -= capacities_.at(block);
        kept_.erase(best);
        return block;
      }
    }
    std::size_t capacity = bytes;
    void* block = detail::hugePageBlock(capacity);
    if (!block) throw std::bad_alloc();
    const std::lock_guard lock(mutex_);
    capacities_[static_cast<uchar*>(block)] = capacity;
    return static_cast<uchar*>(block);
  }

  void give(uchar* block) const {
    const std::lock_guard lock(mutex_);
    const auto found = capacities_.find(block);
    if (found == capacities_.end()) return;
    if (keptBytes_ + found->second <= keptLimit) {
      kept_.push_back(block);
      keptBytes_ += found->second;
      return;
    }
    capacities_.erase(found);
    std::free(block);
  }

  mutable std::mutex mutex_;
  mutable std::map<uchar*, std::size_t> capacities_;  // every block made here and not freed
  mutable std::vector<uchar*> kept_;
  mutable std::size_t keptBytes_ = 0;
};

cv::MatAllocator* recyclingAllocator() {
  // Never destroyed: pictures may be released during the process's exit.
  static auto* allocator = new RecyclingAllocator;
  return allocator;
}

}  // namespace

namespace detail {

void* hugePageBlock(std::size_t& bytes) {
  constexpr std::size_t hugePage = std::size_t{2} << 20;
  bytes = (bytes + hugePage - 1) / hugePage * hugePage;
  void* block = nullptr;
  if (posix_memalign(&block, hugePage, bytes) != 0) return nullptr;
  ::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

cv::Mat freshPicture(int rows, int cols, int type) {
  cv::Mat picture;
  if (static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) * CV_ELEM_SIZE(type) >= largePicture)
    picture.allocator = recyclingAllocator();
  picture.create(rows, cols, type);
  return picture;
}

}  // namespace detail

namespace {

// The stored picture as 8-bit BGR.
cv::Mat storedBgr(const Image& image) {
  if (!image.data || image.width <= 0 || image.height <= 0)
    throw Error("The picture is empty");
  if (image.bitsPerComponent != 8 && image.bitsPerComponent != 16)
    throw Error("Unsupported bits per component: " + std::to_string(image.bitsPerComponent));
  if (image.width > 1'000'000 || image.height > 1'000'000)
    throw Error("The picture is too large");
  const std::size_t pixelBytes = image.bitsPerComponent == 16 ? 8 : 4;
  if (image.rowBytes < static_cast<std::size_t>(image.width) * pixelBytes)
    throw Error("The picture's rows are shorter than its width");
  const int type = image.bitsPerComponent == 16 ? CV_16UC4 : CV_8UC4;
  const cv::Mat rgba(static_cast<int>(image.height), static_cast<int>(image.width), type,
                     const_cast<std::uint8_t*>(image.data), image.rowBytes);
  cv::Mat bgr = detail::freshPicture(rgba.rows, rgba.cols, CV_8UC3);
  if (image.bitsPerComponent == 16) {
    cv::Mat eight;
    rgba.convertTo(eight, CV_8UC4, 1.0 / 257.0);
    cv::cvtColor(eight, bgr, cv::COLOR_RGBA2BGR);
  } else {
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
  }
  return bgr;
}

// Applies an EXIF orientation: the result is the picture as it should be seen.
cv::Mat applyOrientation(cv::Mat stored, int orientation) {
  const bool turned = orientation >= 5 && orientation <= 8;
  cv::Mat out = orientation >= 2 && orientation <= 8
                    ? detail::freshPicture(turned ? stored.cols : stored.rows, turned ? stored.rows : stored.cols,
                                           stored.type())
                    : cv::Mat();
  switch (orientation) {
    case 2: cv::flip(stored, out, 1); return out;
    case 3: cv::rotate(stored, out, cv::ROTATE_180); return out;
    case 4: cv::flip(stored, out, 0); return out;
    case 5: cv::transpose(stored, out); return out;
    case 6: cv::rotate(stored, out, cv::ROTATE_90_CLOCKWISE); return out;
    case 7: {
      cv::Mat t;
      cv::transpose(stored, t);
      cv::flip(t, out, -1);
      return out;
    }
    case 8: cv::rotate(stored, out, cv::ROTATE_90_COUNTERCLOCKWISE); return out;
    default: return stored;
  }
}

std::string executableDirectory() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return ".";
  buffer.resize(static_cast<std::size_t>(n));
  const auto slash = buffer.rfind('/');
  return slash == std::string::npos ? "." : buffer.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

Handler::Handler(const Image& image, int orientation) : state_(std::make_unique<State>()) {
  state_->upright = applyOrientation(storedBgr(image), orientation);
}

Handler::~Handler() = default;

std::int64_t Handler::width() const { return state_->upright.cols; }
std::int64_t Handler::height() const { return state_->upright.rows; }

const cv::Mat& Handler::State::greyPicture() {
  if (grey.empty()) {
    grey = detail::freshPicture(upright.rows, upright.cols, CV_8UC1);
    cv::cvtColor(upright, grey, cv::COLOR_BGR2GRAY);
  }
  return grey;
}

std::string modelDirectory() {
  if (const char* env = std::getenv("ORVAN_MODEL_DIR"); env && *env) return env;
  return executableDirectory() + "/../share/orvan/models";
}

namespace detail {

std::string modelPath(const char* fileName) { return modelDirectory() + "/" + fileName; }

void requireModelFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    throw ModelFileError(path, "Model file is missing: " + path);
  if (std::ifstream probe(path, std::ios::binary); !probe)
    throw ModelFileError(path, "Model file is unreadable: " + path);
}

void throwDamagedModel(const std::string& path, const std::string& reason) {
  throw ModelFileError(path, "Model file is damaged: " + path + " (" + reason + ")");
}

Rect normalizedRect(const cv::Rect2d& pixels, const cv::Size& size) {
  const double w = size.width, h = size.height;
  return Rect{pixels.x / w, 1.0 - (pixels.y + pixels.height) / h, pixels.width / w, pixels.height / h};
}

cv::Rect2d pixelRect(const Rect& normalized, const cv::Size& size) {
  const double w = size.width, h = size.height;
  return cv::Rect2d(normalized.x * w, (1.0 - normalized.maxY()) * h, normalized.width * w,
                    normalized.height * h);
}

cv::Mat reducedBy(const cv::Mat& picture, double scale) {
  if (scale >= 1.0) return picture;
  const cv::Size size(std::max(1, static_cast<int>(std::lround(picture.cols * scale))),
                      std::max(1, static_cast<int>(std::lround(picture.rows * scale))));
  cv::Mat reduced = freshPicture(size.height, size.width, picture.type());
  cv::resize(picture, reduced, size, 0, 0, cv::INTER_AREA);
  return reduced;
}

}  // namespace detail
}  // namespace vision
