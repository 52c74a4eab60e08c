// Rendering: the requested bounds are cut into tiles that render in
// parallel, one worker per core; each tile is converted to the output format
// as soon as it is done, so no full-size float copy of the picture exists.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "node.h"

namespace coreimage {
namespace {

constexpr std::int64_t kTileWidth = 1024;

constexpr std::int64_t kTileHeight = 128;

template <typename Work>
void forEachTile(const PixelRect& bounds, Work work, bool parallel = true) {
  const std::int64_t columns = (bounds.width + kTileWidth - 1) / kTileWidth;
  const std::int64_t rows = (bounds.height + kTileHeight - 1) / kTileHeight;
  const std::int64_t count = columns * rows;
  std::atomic<std::int64_t> next{0};
  auto worker = [&] {
    for (std::int64_t i = next++; i < count; i = next++) {
      // Top rows first: they are the first a source being decoded has ready.
      std::int64_t cx = i % columns, cy = rows - 1 - i / columns;
      PixelRect tile{bounds.x + cx * kTileWidth, bounds.y + cy * kTileHeight, kTileWidth, kTileHeight};
      work(tile.intersection(bounds));
    }
  };
  unsigned threads = parallel ? std::max(1u, std::thread::hardware_concurrency()) : 1u;
  threads = static_cast<unsigned>(std::min<std::int64_t>(threads, count));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
}

}  // namespace

void render(const Image& image, const PixelRect& bounds, PixelFormat format, std::uint8_t* destination,
            std::size_t rowBytes, bool parallel) {
  if (bounds.isEmpty()) return;
  forEachTile(bounds, [&](const PixelRect& tile) {
    std::uint8_t* corner = destination + static_cast<std::size_t>(bounds.maxY() - tile.maxY()) * rowBytes +
                           static_cast<std::size_t>(tile.x - bounds.x) * (format == PixelFormat::rgba16 ? 8 : 4);
    if (image.node() && image.node()->copyPixels(tile, format, corner, rowBytes)) return;
    TileBuffer buffer(tile);
    if (image.node()) image.node()->render(buffer.view());
    for (std::int64_t y = tile.y; y < tile.maxY(); ++y) {
      // Output rows run top first.
      std::uint8_t* row = destination + static_cast<std::size_t>(bounds.maxY() - 1 - y) * rowBytes;
      const float* src = buffer.pixel(tile.x, y);
      const auto n = static_cast<std::size_t>(tile.width);
      const std::size_t first = static_cast<std::size_t>(tile.x - bounds.x);
      if (format == PixelFormat::rgba8) {
        std::uint8_t* dst = row + first * 4;
        for (std::size_t i = 0; i < n; ++i, src += 4, dst += 4) quantizePixel8(src, dst);
      } else {
        auto* dst = reinterpret_cast<std::uint16_t*>(row) + first * 4;
        for (std::size_t i = 0; i < n; ++i, src += 4, dst += 4) {
          float a = unitComponent(src[3]);
          dst[0] = static_cast<std::uint16_t>(unitComponent(src[0]) * a * 65535.0f + 0.5f);
          dst[1] = static_cast<std::uint16_t>(unitComponent(src[1]) * a * 65535.0f + 0.5f);
          dst[2] = static_cast<std::uint16_t>(unitComponent(src[2]) * a * 65535.0f + 0.5f);
          dst[3] = static_cast<std::uint16_t>(a * 65535.0f + 0.5f);
        }
      }
    }
  }, parallel);
}

struct BandRenderer::Band {
  std::vector<std::uint8_t> pixels;
  bool ready = false;
  bool abandoned = false;  // the render ahead failed: a reader renders it
  std::int64_t rowsLeft = 0;  // rows not yet handed out
};

struct BandRenderer::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<std::int64_t, Band> bands;
  // Bands whose rows have all been handed out, never to be rendered again.
  std::vector<bool> finished;
  // Renders the band after the one being read, on one core, while the
  // consumer (an encoder) works on the rows before: both cores stay busy.
  std::thread ahead;
  bool aheadBusy = false;
};

BandRenderer::BandRenderer(Image image, const PixelRect& bounds, PixelFormat format, std::int64_t bandHeight)
    : image_(std::move(image)),
      bounds_(bounds),
      format_(format),
      bandHeight_(std::max<std::int64_t>(1, bandHeight)),
      rowBytes_(static_cast<std::size_t>(bounds.width) * (format == PixelFormat::rgba16 ? 8 : 4)),
      state_(std::make_unique<State>()) {}

BandRenderer::~BandRenderer() {
  if (state_->ahead.joinable()) state_->ahead.join();
}

void BandRenderer::renderRows(std::int64_t top, std::int64_t count, std::uint8_t* destination,
                              std::size_t rowBytes) {
  const std::int64_t bandCount = (bounds_.height + bandHeight_ - 1) / bandHeight_;
  auto bandRows = [&](std::int64_t index) { return std::min(bandHeight_, bounds_.height - index * bandHeight_); };
  auto renderInto = [this, bandRows](std::int64_t index, std::uint8_t* pixels, std::size_t lineBytes, bool parallel) {
    PixelRect rect{bounds_.x, bounds_.maxY() - index * bandHeight_ - bandRows(index), bounds_.width, bandRows(index)};
    render(image_, rect, format_, pixels, lineBytes, parallel);
  };
  auto renderBand = [this, bandRows, renderInto](std::int64_t index, bool parallel) {
    std::vector<std::uint8_t> pixels(rowBytes_ * static_cast<std::size_t>(bandRows(index)));
    renderInto(index, pixels.data(), rowBytes_, parallel);
    return pixels;
  };
  std::int64_t row = std::max<std::int64_t>(top, 0);
  const std::int64_t end = std::min(top + count, bounds_.height);
  while (row < end) {
    const std::int64_t index = row / bandHeight_;
    const std::int64_t bandTop = index * bandHeight_;
    const std::int64_t take = std::min(end, bandTop + bandRows(index)) - row;
    std::unique_lock lock(state_->mutex);
    auto [it, created] = state_->bands.try_emplace(index);
    Band& b = it->second;
    if (created) b.rowsLeft = bandRows(index);
    // Start the next band ahead when the helper is free.
    if (state_->finished.empty()) state_->finished.resize(static_cast<std::size_t>(bandCount));
    if (index + 1 < bandCount && !state_->aheadBusy && !state_->bands.count(index + 1) &&
        !state_->finished[static_cast<std::size_t>(index + 1)]) {
      if (state_->ahead.joinable()) state_->ahead.join();  // it has finished: aheadBusy was false
      try {
        state_->ahead = std::thread([this, renderBand, next = index + 1] {
          std::vector<std::uint8_t> pixels;
          bool ok = true;
          try {
            pixels = renderBand(next, false);
          } catch (...) {
            ok = false;
          }
          std::lock_guard guard(state_->mutex);
          Band& n = state_->bands[next];
          n.pixels = std::move(pixels);
          (ok ? n.ready : n.abandoned) = true;
          state_->aheadBusy = false;
          state_->changed.notify_all();
        });
        // The thread waits for the lock before it touches the band.
        state_->bands[index + 1].rowsLeft = bandRows(index + 1);
        state_->aheadBusy = true;
      } catch (const std::system_error&) {
        // No thread to be had: the band renders when its rows are asked for.
      }
    }
    // This thread renders the band when it is the first to want it, or
    // when the render ahead failed (taken over once: others now wait on
    // ready); other readers wait for it.
    // A whole band nobody has started goes straight into the reader's rows.
    if (created && row == bandTop && take == bandRows(index)) {
      lock.unlock();
      try {
        renderInto(index, destination + static_cast<std::size_t>(row - top) * rowBytes, rowBytes, true);
      } catch (...) {
        lock.lock();
        state_->bands.erase(index);
        throw;
      }
      lock.lock();
      state_->bands.erase(index);
      state_->finished[static_cast<std::size_t>(index)] = true;
      lock.unlock();
      row += take;
      continue;
    }
    bool renderHere = created;
    if (!created) {
      state_->changed.wait(lock, [&] { return b.ready || b.abandoned; });
      renderHere = !b.ready;
      b.abandoned = false;
    }
    if (renderHere) {
      lock.unlock();
      std::vector<std::uint8_t> pixels = renderBand(index, true);
      lock.lock();
      b.pixels = std::move(pixels);
      b.ready = true;
      state_->changed.notify_all();
    }
    lock.unlock();
    for (std::int64_t r = 0; r < take; ++r)
      std::memcpy(destination + static_cast<std::size_t>(row - top + r) * rowBytes,
                  b.pixels.data() + static_cast<std::size_t>(row - bandTop + r) * rowBytes_, rowBytes_);
    lock.lock();
    b.rowsLeft -= take;
    if (b.rowsLeft <= 0) {
      state_->bands.erase(index);
      state_->finished[static_cast<std::size_t>(index)] = true;
    }
    lock.unlock();
    row += take;
  }
}

std::vector<float> renderFloat(const Image& image, const PixelRect& bounds) {
  if (bounds.isEmpty()) return {};
  std::vector<float> out(static_cast<std::size_t>(bounds.width) * static_cast<std::size_t>(bounds.height) * 4);
  forEachTile(bounds, [&](const PixelRect& tile) {
    TileView view{tile, out.data() + (static_cast<std::size_t>(tile.y - bounds.y) * static_cast<std::size_t>(bounds.width) +
                                      static_cast<std::size_t>(tile.x - bounds.x)) * 4,
                  static_cast<std::size_t>(bounds.width) * 4};
    if (image.node())
      image.node()->render(view);
    else
      fillTransparent(view);
  });
  return out;
}

}  // namespace coreimage
