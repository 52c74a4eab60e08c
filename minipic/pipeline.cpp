// RequestPipeline: a few requests at a time on worker threads, answered in
// the order they came.
#include <filesystem>
#include <new>
#include <system_error>

#include "minipic.h"

namespace minipic {

namespace {

// A path as it names a file: absolute, normalised, symbolic links of the
// existing part resolved.
std::string fileIdentity(const std::string& path) {
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
  if (!error) return canonical.string();
  return std::filesystem::absolute(path, error).lexically_normal().string();
}

}  // namespace

RequestPipeline::RequestPipeline(unsigned workers) {
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
      response = createThumbnail(slot->request);
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
  slot->inputFile = fileIdentity(request.inputPath);
  slot->outputFile = fileIdentity(request.outputPath);
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
  const std::string input = fileIdentity(request.inputPath);
  const std::string output = fileIdentity(request.outputPath);
  std::lock_guard lock(mutex_);
  for (const auto& slot : order_) {
    if (slot->response) continue;
    if (slot->outputFile == input || slot->outputFile == output || slot->inputFile == output)
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
