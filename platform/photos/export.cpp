// Resource export: copying a stored original out of the library.
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <thread>

#include "internal.h"

namespace photos {

struct CopyWorker::Queue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  int idleThreads = 0;  // threads waiting for a job that no job has claimed
  bool stopping = false;
};

namespace {

void runCopies(const std::shared_ptr<CopyWorker::Queue>& queue) {
  std::unique_lock lock(queue->mutex);
  for (;;) {
    queue->wake.wait(lock, [&] { return queue->stopping || !queue->jobs.empty(); });
    if (queue->jobs.empty()) return;
    std::function<void()> job = std::move(queue->jobs.front());
    queue->jobs.pop_front();
    lock.unlock();
    job();
    lock.lock();
    ++queue->idleThreads;
  }
}

}  // namespace

CopyWorker::CopyWorker() : queue_(std::make_shared<Queue>()) {}

CopyWorker::~CopyWorker() {
  std::lock_guard lock(queue_->mutex);
  queue_->stopping = true;
  queue_->wake.notify_all();
}

void CopyWorker::submit(std::function<void()> job) {
  std::lock_guard lock(queue_->mutex);
  queue_->jobs.push_back(std::move(job));
  if (queue_->idleThreads > 0) {
    --queue_->idleThreads;
    queue_->wake.notify_one();
    return;
  }
  // Every thread is busy (none yet, or a copy that has not come back): one
  // more keeps a stuck copy from holding up the next.
  std::thread([queue = queue_] { runCopies(queue); }).detach();
}

void Library::writeResourceData(const AssetResource& resource, const std::string& path,
                                const ResourceRequestOptions&, ExportCompletion completion) const {
  // Resolve the stored file now; the copy itself runs on the copying thread
  // and touches nothing of the library.
  std::string source;
  std::optional<std::string> error;
  try {
    source = storedFilePath(resource);
    struct stat info;
    if (source.empty()) {
      error = "The photo's original is no longer in the photo library.";
    } else if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      error = "The original file of this photo is missing from the photo library: " + source;
    }
  } catch (const Error& failure) {
    error = failure.what();
  }
  impl_->copies.submit([source = std::move(source), path, error = std::move(error),
                        completion = std::move(completion)] {
    completion(error ? error : copyFile(source, path, Flush::no));
  });
}

}  // namespace photos
