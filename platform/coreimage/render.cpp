// Rendering: the requested bounds are cut into tiles that render in
// parallel, one worker per core; each tile is converted to the output format
// as soon as it is done, so no full-size float copy of the picture exists.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <immintrin.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "helpers.h"
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
  if (threads <= 1)
    worker();
  else
    runTogether(threads - 1, worker);
}

// Eight float pixels to premultiplied 8-bit, two a register: each
// component clamped, scaled by the clamped alpha unless `premultiplied`
// (then clamped to it), times 255 plus a half, truncated: the operations of
// quantizePixel8 and quantizePremultipliedPixel8, lane by lane.
template <bool premultiplied>
__attribute__((target("avx2"))) void quantizeRowAvx2(const float* src, std::uint8_t* dst, std::size_t eights) {
  const __m256i alphaLanes = _mm256_setr_epi32(3, 3, 3, 3, 7, 7, 7, 7);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1), scale = _mm256_set1_ps(255.0f),
               half = _mm256_set1_ps(0.5f);
  for (std::size_t i = 0; i < eights; ++i, src += 32, dst += 32) {
    __m256i q[4];
    for (int k = 0; k < 4; ++k) {
      const __m256 v = _mm256_loadu_ps(src + k * 8);
      // max(v, 0) gives 0 for NaN.
      const __m256 alpha = _mm256_min_ps(_mm256_max_ps(_mm256_permutevar8x32_ps(v, alphaLanes), zero), one);
      const __m256 bound = _mm256_blend_ps(alpha, one, 0x88);
      __m256 c;
      if constexpr (premultiplied) {
        // max(alpha, 1) is 1 for NaN. Alphas above 1 are rare: without
        // them the division is by 1 and is left out.
        const __m256 rawAlpha = _mm256_permutevar8x32_ps(v, alphaLanes);
        __m256 scaled = v;
        if (_mm256_movemask_ps(_mm256_cmp_ps(rawAlpha, one, _CMP_GT_OQ)))
          scaled = _mm256_mul_ps(v, _mm256_blend_ps(_mm256_div_ps(one, _mm256_max_ps(rawAlpha, one)), one, 0x88));
        c = _mm256_min_ps(_mm256_max_ps(scaled, zero), bound);
      }
      else
        c = _mm256_mul_ps(_mm256_min_ps(_mm256_max_ps(v, zero), one), bound);
      q[k] = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(c, scale), half));
    }
    const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(q[0], q[1]), _mm256_packus_epi32(q[2], q[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permutevar8x32_epi32(bytes, order));
  }
}

void quantizeRow8(const float* src, std::uint8_t* dst, std::size_t count, bool premultiplied) {
  if (hasAvx2()) {
    (premultiplied ? quantizeRowAvx2<true> : quantizeRowAvx2<false>)(src, dst, count / 8);
    src += count / 8 * 32;
    dst += count / 8 * 32;
    count %= 8;
  }
  for (std::size_t i = 0; i < count; ++i, src += 4, dst += 4)
    (premultiplied ? quantizePremultipliedPixel8 : quantizePixel8)(src, dst);
}

void quantizeRow16(const float* src, std::uint16_t* dst, std::size_t count, bool premultiplied) {
  for (std::size_t i = 0; i < count; ++i, src += 4, dst += 4) {
    const float a = unitComponent(src[3]);
    const float excess = src[3] > 1 ? 1 / src[3] : 1.0f;
    for (int k = 0; k < 3; ++k) {
      float c = unitComponent(src[k]) * a;
      if (premultiplied) {
        c = src[k] * excess;
        c = c > 0 ? (c < a ? c : a) : 0.0f;  // NaN counts as 0
      }
      dst[k] = static_cast<std::uint16_t>(c * 65535.0f + 0.5f);
    }
    dst[3] = static_cast<std::uint16_t>(a * 65535.0f + 0.5f);
  }
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
    // Nodes that mix premultiplied colour hand it out as it is: the output
    // wants it premultiplied.
    const bool premultiplied = image.node() && image.node()->prefersPremultiplied();
    if (premultiplied)
      image.node()->renderPremultiplied(buffer.view());
    else if (image.node())
      image.node()->render(buffer.view());
    else
      fillTransparent(buffer.view());
    const auto n = static_cast<std::size_t>(tile.width);
    const std::size_t first = static_cast<std::size_t>(tile.x - bounds.x);
    for (std::int64_t y = tile.y; y < tile.maxY(); ++y) {
      // Output rows run top first.
      std::uint8_t* row = destination + static_cast<std::size_t>(bounds.maxY() - 1 - y) * rowBytes;
      if (format == PixelFormat::rgba8)
        quantizeRow8(buffer.pixel(tile.x, y), row + first * 4, n, premultiplied);
      else
        quantizeRow16(buffer.pixel(tile.x, y), reinterpret_cast<std::uint16_t*>(row) + first * 4, n, premultiplied);
    }
  }, parallel);
}

// A band's rendered rows. The storage is left uninitialised (the render
// writes every byte) and handed on to later bands once read, so a render
// does not fault in and clear fresh pages for every band.
class BandPixels {
 public:
  BandPixels() = default;
  explicit BandPixels(std::size_t size) : data_(new std::uint8_t[size]) {}
  std::uint8_t* data() { return data_.get(); }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
};

struct BandRenderer::Band {
  BandPixels pixels;
  bool ready = false;
  bool abandoned = false;  // the render ahead failed: a reader renders it
  bool claimed = false;    // a thread renders it (false: handed to a helper not yet started)
  std::int64_t rowsLeft = 0;  // rows not yet handed out
};

struct BandRenderer::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<std::int64_t, Band> bands;
  // Bands whose rows have all been handed out, never to be rendered again.
  std::vector<bool> finished;
  // A helper renders the band after the one being read, on one core, while
  // the consumer (an encoder) works on the rows before: both cores stay busy.
  bool aheadBusy = false;     // handed to a helper that has not reported back
  bool aheadRunning = false;  // and that helper is rendering it
  bool closed = false;        // the renderer is gone: a late helper does nothing
  // Storage of bands already read, for the next ones (each large enough
  // for any band).
  std::vector<BandPixels> spare;

  BandPixels takeSpare(std::size_t size) {
    std::lock_guard guard(mutex);
    if (spare.empty()) return BandPixels(size);
    BandPixels pixels = std::move(spare.back());
    spare.pop_back();
    return pixels;
  }
  // Keeps a read band's storage; a few suffice (the band being read and
  // the one rendered ahead).
  void release(Band& band) {
    if (band.pixels && spare.size() < 3) spare.push_back(std::move(band.pixels));
  }
};

BandRenderer::BandRenderer(Image image, const PixelRect& bounds, PixelFormat format, std::int64_t bandHeight)
    : image_(std::move(image)),
      bounds_(bounds),
      format_(format),
      bandHeight_(std::max<std::int64_t>(1, bandHeight)),
      rowBytes_(static_cast<std::size_t>(bounds.width) * (format == PixelFormat::rgba16 ? 8 : 4)),
      state_(std::make_shared<State>()) {}

BandRenderer::~BandRenderer() {
  // A render ahead under way uses this object until it reports back; one
  // not yet started finds the renderer closed and leaves it alone.
  std::unique_lock lock(state_->mutex);
  state_->closed = true;
  state_->changed.wait(lock, [this] { return !state_->aheadRunning; });
}

void BandRenderer::renderRows(std::int64_t top, std::int64_t count, std::uint8_t* destination,
                              std::size_t rowBytes) {
  const std::int64_t bandCount = (bounds_.height + bandHeight_ - 1) / bandHeight_;
  auto bandRows = [&](std::int64_t index) { return std::min(bandHeight_, bounds_.height - index * bandHeight_); };
  auto renderInto = [this, bandRows](std::int64_t index, std::uint8_t* pixels, std::size_t lineBytes, bool parallel) {
    PixelRect rect{bounds_.x, bounds_.maxY() - index * bandHeight_ - bandRows(index), bounds_.width, bandRows(index)};
    render(image_, rect, format_, pixels, lineBytes, parallel);
  };
  // Every band's storage is the size of a full band, so any spare fits.
  const std::size_t bandBytes = rowBytes_ * static_cast<std::size_t>(std::min(bandHeight_, bounds_.height));
  auto renderBand = [this, renderInto, bandBytes](std::int64_t index, bool parallel) {
    BandPixels pixels = state_->takeSpare(bandBytes);
    try {
      renderInto(index, pixels.data(), rowBytes_, parallel);
    } catch (...) {
      std::lock_guard guard(state_->mutex);
      state_->spare.push_back(std::move(pixels));
      throw;
    }
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
    if (created) {
      b.rowsLeft = bandRows(index);
      b.claimed = true;
    }
    // Start the next band ahead when the helper is free.
    if (state_->finished.empty()) state_->finished.resize(static_cast<std::size_t>(bandCount));
    if (index + 1 < bandCount && !state_->aheadBusy && !state_->bands.count(index + 1) &&
        !state_->finished[static_cast<std::size_t>(index + 1)]) {
      // Listed before the helper can look for it: it waits for the lock.
      state_->bands[index + 1].rowsLeft = bandRows(index + 1);
      state_->aheadBusy = true;
      const bool posted = postToHelper([state = state_, renderBand, next = index + 1] {
        std::unique_lock hold(state->mutex);
        // A reader that got to the band first renders it itself.
        auto it = state->bands.find(next);
        if (state->closed || it == state->bands.end() || it->second.claimed) {
          state->aheadBusy = false;
          state->changed.notify_all();
          return;
        }
        it->second.claimed = true;
        state->aheadRunning = true;
        hold.unlock();
        BandPixels pixels;
        bool ok = true;
        try {
          pixels = renderBand(next, false);
        } catch (...) {
          ok = false;
        }
        hold.lock();
        // Readers wait for it, so the band is still listed.
        Band& n = state->bands[next];
        n.pixels = std::move(pixels);
        (ok ? n.ready : n.abandoned) = true;
        state->aheadBusy = state->aheadRunning = false;
        state->changed.notify_all();
      });
      if (!posted) {
        // No helper to be had: the band renders when its rows are asked for.
        state_->bands.erase(index + 1);
        state_->aheadBusy = false;
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
    if (!created && !b.claimed) {
      // Handed to a helper that has not started: rendered here instead.
      b.claimed = true;
      renderHere = true;
    } else if (!created) {
      state_->changed.wait(lock, [&] { return b.ready || b.abandoned; });
      renderHere = !b.ready;
      b.abandoned = false;
    }
    if (renderHere) {
      lock.unlock();
      BandPixels pixels = renderBand(index, true);
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
      state_->release(b);
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
