#include "helpers.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace coreimage {
namespace {

class Helpers {
 public:
  // The process's helpers, as many as the machine has cores. They are never
  // stopped: their tasks run only while a caller waits for them, so at exit
  // they are idle.
  static Helpers& shared() {
    static Helpers* helpers = new Helpers(std::max(1u, std::thread::hardware_concurrency()));
    return *helpers;
  }

  bool post(std::function<void()> task) {
    std::lock_guard guard(mutex_);
    if (started_ == 0) return false;
    tasks_.push_back(std::move(task));
    ready_.notify_one();
    return true;
  }

 private:
  explicit Helpers(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      try {
        std::thread([this] { serve(); }).detach();
        ++started_;
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  void serve() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      try {
        task();
      } catch (...) {
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  unsigned started_ = 0;
};

}  // namespace

void runTogether(unsigned extra, const std::function<void()>& work) {
  // Shared with the helpers' tasks, which may start after this call has
  // returned: they then find it closed and leave `work` alone.
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    const std::function<void()>* work = nullptr;
    unsigned running = 0;
    bool closed = false;
    std::exception_ptr failure;
  };
  auto shared = std::make_shared<Shared>();
  shared->work = &work;
  for (unsigned i = 0; i < extra; ++i) {
    const bool posted = postToHelper([shared] {
      {
        std::lock_guard guard(shared->mutex);
        if (shared->closed) return;
        ++shared->running;
      }
      std::exception_ptr failure;
      try {
        (*shared->work)();
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard guard(shared->mutex);
      if (failure && !shared->failure) shared->failure = failure;
      --shared->running;
      shared->done.notify_all();
    });
    if (!posted) break;
  }
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  std::unique_lock lock(shared->mutex);
  shared->closed = true;
  shared->done.wait(lock, [&] { return shared->running == 0; });
  if (!failure) failure = shared->failure;
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
}

bool postToHelper(std::function<void()> task) {
  try {
    return Helpers::shared().post(std::move(task));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace coreimage
