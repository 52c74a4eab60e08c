#include "landmark_model.h"

#include <dlib/serialize.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace vision::detail {

namespace {

constexpr char magic[8] = {'O', 'R', 'V', 'A', 'N', 'S', 'P', '2'};
// Far above the 68-point model (about 65 MB in this form).
constexpr std::uint64_t largestFastFile = std::uint64_t{1} << 30;

using Forests = std::vector<std::vector<dlib::impl::regression_tree>>;
using Points = std::vector<dlib::vector<float, 2>>;

struct SourceStamp {
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
};

bool stampOf(const std::string& path, SourceStamp& stamp) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  stamp.size = static_cast<std::uint64_t>(info.st_size);
  stamp.mtime = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return true;
}

template <typename T>
void put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void putCount(std::string& out, std::size_t count) { put(out, static_cast<std::uint32_t>(count)); }

// Bounds-checked reading of the fast file.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : at_(data), end_(data + size) {}
  template <typename T>
  bool take(T& value) {
    if (static_cast<std::size_t>(end_ - at_) < sizeof value) return false;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return true;
  }
  // A count of items of `itemBytes` each that the remaining bytes can hold.
  bool count(std::uint32_t& n, std::size_t itemBytes) {
    return take(n) && static_cast<std::uint64_t>(n) * itemBytes <= static_cast<std::uint64_t>(end_ - at_);
  }
  bool floats(float* out, std::size_t n) {
    if (static_cast<std::size_t>(end_ - at_) / sizeof(float) < n) return false;
    std::memcpy(out, at_, n * sizeof(float));
    at_ += n * sizeof(float);
    return true;
  }
  bool atEnd() const { return at_ == end_; }
  const char* here() const { return at_; }
  bool skip(std::size_t bytes) {
    if (static_cast<std::size_t>(end_ - at_) < bytes) return false;
    at_ += bytes;
    return true;
  }

 private:
  const char* at_;
  const char* end_;
};

bool isPowerOfTwo(std::uint32_t n) { return n > 0 && (n & (n - 1)) == 0; }

}  // namespace

bool writeFastShapePredictor(const std::string& source, const std::string& target, std::string& problem) {
  SourceStamp stamp;
  if (!stampOf(source, stamp)) {
    problem = "cannot read " + source;
    return false;
  }
  dlib::matrix<float, 0, 1> shape;
  Forests forests;
  std::vector<std::vector<unsigned long>> anchors;
  std::vector<Points> deltas;
  try {
    std::ifstream in(source, std::ios::binary);
    int version = 0;
    dlib::deserialize(version, in);
    if (version != 1) throw dlib::serialization_error("unexpected version");
    dlib::deserialize(shape, in);
    dlib::deserialize(forests, in);
    dlib::deserialize(anchors, in);
    dlib::deserialize(deltas, in);
  } catch (const std::exception& e) {
    problem = source + " is not a dlib shape predictor (" + e.what() + ")";
    return false;
  }
  if (shape.size() == 0 || shape.size() % 2 != 0 || anchors.size() != forests.size() ||
      deltas.size() != forests.size()) {
    problem = source + " has an unexpected layout";
    return false;
  }

  std::string out(magic, sizeof magic);
  put(out, stamp.size);
  put(out, stamp.mtime);
  putCount(out, static_cast<std::size_t>(shape.size()));
  for (long i = 0; i < shape.size(); ++i) put(out, shape(i));
  putCount(out, forests.size());
  for (std::size_t c = 0; c < forests.size(); ++c) {
    if (anchors[c].size() != deltas[c].size()) {
      problem = source + " has an unexpected layout";
      return false;
    }
    putCount(out, anchors[c].size());
    for (std::size_t j = 0; j < anchors[c].size(); ++j) {
      if (anchors[c][j] >= static_cast<unsigned long>(shape.size() / 2)) {
        problem = source + " has an unexpected layout";
        return false;
      }
      put(out, static_cast<std::uint32_t>(anchors[c][j]));
      put(out, deltas[c][j].x());
      put(out, deltas[c][j].y());
    }
    putCount(out, forests[c].size());
    for (const auto& tree : forests[c]) {
      putCount(out, tree.splits.size());
      for (const auto& split : tree.splits) {
        put(out, static_cast<std::uint32_t>(split.idx1));
        put(out, static_cast<std::uint32_t>(split.idx2));
        put(out, split.thresh);
      }
      if (tree.leaf_values.size() != tree.splits.size() + 1 || !isPowerOfTwo(static_cast<std::uint32_t>(tree.leaf_values.size()))) {
        problem = source + " has an unexpected layout";
        return false;
      }
      for (const auto& split : tree.splits)
        if (split.idx1 >= anchors[c].size() || split.idx2 >= anchors[c].size()) {
          problem = source + " has an unexpected layout";
          return false;
        }
      putCount(out, tree.leaf_values.size());
      for (const auto& leaf : tree.leaf_values) {
        if (leaf.size() != shape.size()) {
          problem = source + " has an unexpected layout";
          return false;
        }
        for (long i = 0; i < leaf.size(); ++i) put(out, leaf(i));
      }
    }
  }

  const std::string partial = target + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.flush();
    if (!file) {
      std::remove(partial.c_str());
      problem = "cannot write " + partial;
      return false;
    }
  }
  if (std::rename(partial.c_str(), target.c_str()) != 0) {
    std::remove(partial.c_str());
    problem = "cannot write " + target;
    return false;
  }
  return true;
}

// The file mapped read-only, its pages read in at once (mapping the page
// cache costs far less than copying 65 MB into fresh memory).
struct FastShapePredictor::Mapping {
  explicit Mapping(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) <= largestFastFile) {
      void* at = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (at != MAP_FAILED) {
        data_ = static_cast<const char*>(at);
        size_ = static_cast<std::size_t>(info.st_size);
      }
    }
    ::close(fd);
  }
  ~Mapping() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

FastShapePredictor::~FastShapePredictor() = default;

std::unique_ptr<FastShapePredictor> FastShapePredictor::open(const std::string& fast, const std::string& source) {
  SourceStamp stamp;
  if (!stampOf(source, stamp)) return nullptr;
  std::unique_ptr<FastShapePredictor> model(new FastShapePredictor);
  model->mapping_ = std::make_unique<Mapping>(fast);
  const Mapping& mapping = *model->mapping_;
  if (!mapping.data()) return nullptr;
  Reader in(mapping.data(), mapping.size());
  char head[sizeof magic];
  SourceStamp made;
  std::uint32_t n = 0, cascades = 0;
  if (!in.take(head) || std::memcmp(head, magic, sizeof magic) != 0 || !in.take(made.size) ||
      !in.take(made.mtime) || made.size != stamp.size || made.mtime != stamp.mtime ||
      !in.count(n, sizeof(float)) || n == 0 || n % 2 != 0)
    return nullptr;
  model->initialShape_.set_size(n);
  if (!in.floats(&model->initialShape_(0), n) || !in.count(cascades, 2 * sizeof(std::uint32_t))) return nullptr;

  model->cascades_.resize(cascades);
  for (Cascade& cascade : model->cascades_) {
    std::uint32_t count = 0, trees = 0;
    if (!in.count(count, 3 * sizeof(std::uint32_t))) return nullptr;
    cascade.anchors.resize(count);
    cascade.deltas.resize(count);
    for (std::uint32_t j = 0; j < count; ++j) {
      std::uint32_t anchor = 0;
      float dx = 0, dy = 0;
      if (!in.take(anchor) || !in.take(dx) || !in.take(dy) || anchor >= n / 2 || !std::isfinite(dx) ||
          !std::isfinite(dy))
        return nullptr;
      cascade.anchors[j] = anchor;
      cascade.deltas[j] = dlib::vector<float, 2>(dx, dy);
    }
    if (!in.count(trees, 2 * sizeof(std::uint32_t))) return nullptr;
    cascade.trees.resize(trees);
    for (Tree& tree : cascade.trees) {
      std::uint32_t splits = 0, leaves = 0;
      if (!in.count(splits, 3 * sizeof(std::uint32_t))) return nullptr;
      tree.splits = in.here();
      tree.splitCount = splits;
      for (std::uint32_t k = 0; k < splits; ++k) {
        std::uint32_t a = 0, b = 0;
        float thresh = 0;
        if (!in.take(a) || !in.take(b) || !in.take(thresh) || a >= count || b >= count) return nullptr;
      }
      if (!in.count(leaves, static_cast<std::size_t>(n) * sizeof(float)) || !isPowerOfTwo(leaves) ||
          leaves != splits + 1)
        return nullptr;
      tree.leaves = reinterpret_cast<const float*>(in.here());
      if (!in.skip(static_cast<std::size_t>(leaves) * n * sizeof(float))) return nullptr;
    }
  }
  if (!in.atEnd()) return nullptr;
  return model;
}

dlib::full_object_detection FastShapePredictor::operator()(const dlib::cv_image<unsigned char>& image,
                                                           const dlib::rectangle& box) const {
  // dlib's cascade: features read relative to the current shape, then every
  // tree's leaf added in turn.
  dlib::matrix<float, 0, 1> shape = initialShape_;
  const long n = shape.size();
  std::vector<float> features;
  for (const Cascade& cascade : cascades_) {
    dlib::impl::extract_feature_pixel_values(image, box, shape, initialShape_, cascade.anchors, cascade.deltas,
                                             features);
    for (const Tree& tree : cascade.trees) {
      std::uint32_t i = 0;
      while (i < tree.splitCount) {
        std::uint32_t idx[2];
        float thresh;
        std::memcpy(idx, tree.splits + 12 * std::size_t{i}, sizeof idx);
        std::memcpy(&thresh, tree.splits + 12 * std::size_t{i} + 8, sizeof thresh);
        i = features[idx[0]] - features[idx[1]] > thresh ? 2 * i + 1 : 2 * i + 2;
      }
      const float* leaf = tree.leaves + static_cast<std::size_t>(i - tree.splitCount) * static_cast<std::size_t>(n);
      for (long k = 0; k < n; ++k) shape(k) += leaf[k];
    }
  }
  const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(box);
  std::vector<dlib::point> parts(static_cast<std::size_t>(n / 2));
  for (std::size_t i = 0; i < parts.size(); ++i)
    parts[i] = toImage(dlib::impl::location(shape, static_cast<unsigned long>(i)));
  return dlib::full_object_detection(box, parts);
}

}  // namespace vision::detail
