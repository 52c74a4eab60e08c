// Work split into numbered bands run on the machine's cores. Callers make
// each band's result depend on its number only, never on the thread that
// runs it or on how many threads there are, so the outcome is the same on
// every machine and in every run.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include "helpers.h"

namespace coreimage {

// Runs work(i) once for every i in [0, count), on up to one thread per core
// (the calling thread included). Without spare threads it runs them all on
// the calling thread.
template <typename Work>
void forEachBand(std::int64_t count, Work&& work) {
  if (count <= 0) return;
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex failureLock;
  // A band that throws stops the others from starting new bands; the first
  // failure is rethrown once every thread has finished.
  auto worker = [&] {
    try {
      for (std::int64_t i = next++; i < count && !failed; i = next++) work(i);
    } catch (...) {
      std::lock_guard<std::mutex> hold(failureLock);
      if (!failure) failure = std::current_exception();
      failed = true;
    }
  };
  const auto threads = std::min<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()), count);
  if (threads <= 1)
    worker();
  else
    runTogether(static_cast<unsigned>(threads - 1), worker);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace coreimage
