// RequestPipeline: a few requests at a time on worker threads, answered in
// the order they came.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>

#include "minipic.h"

namespace minipic {

namespace {

std::string deviceAndInode(const struct stat& status) {
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

// Two identities name the same file: the same directory entry, or the same
// existing file.
bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.entry == b.entry || (!a.file.empty() && a.file == b.file);
}

}  // namespace

FileIdentity fileIdentity(const std::string& path, bool mustExist) {
  FileIdentity identity;
  const std::filesystem::path named(path);
  const std::string name = named.filename().string();
  if (path.empty() || name.empty() || name == "." || name == "..") {
    identity.doubtful = true;
    return identity;
  }
  const std::string directory = named.has_parent_path() ? named.parent_path().string() : ".";
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    identity.doubtful = true;
    return identity;
  }
  std::string folded = name;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  identity.entry = deviceAndInode(status) + "/" + folded;
  if (::lstat(path.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) identity.doubtful = true;
    identity.file = deviceAndInode(status);
  } else {
    identity.doubtful = errno != ENOENT || mustExist;
  }
  return identity;
}

ByteBudget::Lease::~Lease() {
  if (budget_) budget_->give(bytes_);
}

ByteBudget::Lease ByteBudget::take(std::uint64_t bytes) {
  bytes = std::min(bytes, total_);
  std::unique_lock lock(mutex_);
  const std::uint64_t ticket = nextTicket_++;
  changed_.wait(lock, [&] { return serving_ == ticket && held_ + bytes <= total_; });
  ++serving_;
  held_ += bytes;
  lock.unlock();
  // The next in line may fit beside this one.
  changed_.notify_all();
  return Lease(this, bytes);
}

void ByteBudget::give(std::uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    held_ -= bytes;
  }
  changed_.notify_all();
}

std::uint64_t ByteBudget::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

RequestPipeline::RequestPipeline(unsigned workers, std::uint64_t budgetBytes) : budget_(budgetBytes) {
  for (unsigned i = 0; i < std::max(1u, workers); ++i) threads_.emplace_back([this] { work(); });
}

RequestPipeline::~RequestPipeline() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void RequestPipeline::work() {
  while (true) {
    std::shared_ptr<Slot> slot;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      slot = queue_.front();
      queue_.pop_front();
    }
    ThumbnailResponse response;
    try {
      response = createThumbnail(slot->request, &budget_);
    } catch (const std::bad_alloc&) {
      // Out of memory for this source; the next request may well fit.
      response = ThumbnailResponse::failure(slot->request.id, "cannot_decode_thumbnail");
    }
    {
      std::lock_guard lock(mutex_);
      slot->response = std::move(response);
    }
    done_.notify_all();
  }
}

void RequestPipeline::submit(ThumbnailRequest request) {
  auto slot = std::make_shared<Slot>();
  slot->inputFile = fileIdentity(request.inputPath, true);
  slot->outputFile = fileIdentity(request.outputPath, false);
  slot->request = std::move(request);
  {
    std::lock_guard lock(mutex_);
    order_.push_back(slot);
    queue_.push_back(slot);
  }
  wake_.notify_one();
}

void RequestPipeline::submitAnswered(ThumbnailResponse response) {
  auto slot = std::make_shared<Slot>();
  slot->response = std::move(response);
  std::lock_guard lock(mutex_);
  order_.push_back(std::move(slot));
}

bool RequestPipeline::sharesFilesWithPending(const ThumbnailRequest& request) const {
  const FileIdentity input = fileIdentity(request.inputPath, true);
  const FileIdentity output = fileIdentity(request.outputPath, false);
  std::lock_guard lock(mutex_);
  for (const auto& slot : order_) {
    if (slot->response) continue;
    if (input.doubtful || output.doubtful || slot->inputFile.doubtful || slot->outputFile.doubtful) return true;
    if (sameFile(slot->outputFile, input) || sameFile(slot->outputFile, output) || sameFile(slot->inputFile, output))
      return true;
  }
  return false;
}

std::size_t RequestPipeline::size() const {
  std::lock_guard lock(mutex_);
  return order_.size();
}

ThumbnailResponse RequestPipeline::takeNext() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return order_.front()->response.has_value(); });
  ThumbnailResponse response = std::move(*order_.front()->response);
  order_.pop_front();
  return response;
}

}  // namespace minipic
