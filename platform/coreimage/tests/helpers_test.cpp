// The long-lived helper threads: shared work, failures, nesting, and band
// rendering while every helper is busy elsewhere.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bands.h"
#include "coreimage.h"
#include "helpers.h"

using namespace coreimage;

namespace {

// Holds every helper thread until released, so that tasks handed out in the
// meantime wait in the queue.
class BusyHelpers {
 public:
  BusyHelpers() {
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i)
      EXPECT_TRUE(postToHelper([this] {
        std::unique_lock lock(mutex_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        --held_;
        changed_.notify_all();
      }));
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ == count; });
  }
  // Waits until the helpers have let go of this object.
  ~BusyHelpers() {
    release();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return held_ == 0; });
  }
  void release() {
    std::lock_guard guard(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned held_ = 0;
  bool released_ = false;
};

}  // namespace

TEST(Helpers, ShareWorkAndRethrowTheFirstFailureOnceAllHaveFinished) {
  // Every item taken once, by the caller and the helpers together.
  std::vector<std::atomic<int>> taken(5000);
  std::atomic<std::size_t> next{0};
  std::mutex threadsLock;
  std::set<std::thread::id> threads;
  runTogether(3, [&] {
    {
      std::lock_guard guard(threadsLock);
      threads.insert(std::this_thread::get_id());
    }
    for (std::size_t i = next++; i < taken.size(); i = next++) ++taken[i];
  });
  for (const auto& t : taken) ASSERT_EQ(t.load(), 1);
  EXPECT_TRUE(threads.count(std::this_thread::get_id()));

  // A failure on any thread comes back to the caller; the calls still
  // running finish first (none is left touching the counter afterwards).
  std::atomic<int> running{0};
  std::atomic<int> calls{0};
  EXPECT_THROW(runTogether(3,
                           [&] {
                             ++running;
                             if (calls++ == 0) throw std::runtime_error("first");
                             std::this_thread::sleep_for(std::chrono::milliseconds(5));
                             --running;
                           }),
               std::runtime_error);
  EXPECT_EQ(running.load(), 1);  // only the call that threw did not count down
}

TEST(Helpers, NestedBandsAndHelpersBusyElsewhereNeverStall) {
  // Bands inside bands: inner calls run on helpers that are themselves
  // running outer bands.
  std::vector<std::atomic<int>> cells(16 * 16);
  forEachBand(16, [&](std::int64_t row) {
    forEachBand(16, [&](std::int64_t column) { ++cells[static_cast<std::size_t>(row * 16 + column)]; });
  });
  for (const auto& c : cells) ASSERT_EQ(c.load(), 1);

  // With every helper held, the caller does all the work itself.
  BusyHelpers busy;
  std::atomic<std::int64_t> sum{0};
  forEachBand(100, [&](std::int64_t i) { sum += i; });
  EXPECT_EQ(sum.load(), 99 * 100 / 2);
}

TEST(Helpers, BandsHandedToBusyHelpersAreRenderedByTheirReader) {
  Image src = Image::constantColor({0.2f, 0.4f, 0.6f, 1}).cropped(Rect::make(0, 0, 120, 200))
                  .applyingPixelOperation([](float* p, std::size_t n) {
                    for (std::size_t i = 0; i < n; ++i) p[i * 4] = static_cast<float>(i % 7) / 7;
                  });
  const PixelRect bounds{0, 0, 120, 200};
  const std::size_t rowBytes = 120 * 4;
  std::vector<std::uint8_t> whole(rowBytes * 200);
  render(src, bounds, PixelFormat::rgba8, whole.data(), rowBytes);

  std::vector<std::uint8_t> rows(whole.size(), 0);
  {
    // The render ahead of each band waits in the queue behind the held
    // helpers; reading must not wait for it.
    BusyHelpers busy;
    {
      BandRenderer bands(src, bounds, PixelFormat::rgba8, 16);
      for (std::int64_t top = 0; top < 200; top += 10)
        bands.renderRows(top, 10, rows.data() + static_cast<std::size_t>(top) * rowBytes, rowBytes);
      // Gone before the queued render ahead has run: it must leave the
      // renderer alone when it does.
    }
    busy.release();
  }
  EXPECT_EQ(rows, whole);
}
