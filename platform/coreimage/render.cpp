// Rendering: the requested bounds are cut into tiles that render in
// parallel, one worker per core; each tile is converted to the output format
// as soon as it is done, so no full-size float copy of the picture exists.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "node.h"

namespace coreimage {
namespace {

constexpr std::int64_t kTileWidth = 1024;

// Clamps to 0..1 (NaN counts as 0) and scales with rounding.
inline float unit(float v) { return v > 0 ? (v < 1 ? v : 1) : 0; }
constexpr std::int64_t kTileHeight = 128;

template <typename Work>
void forEachTile(const PixelRect& bounds, Work work) {
  const std::int64_t columns = (bounds.width + kTileWidth - 1) / kTileWidth;
  const std::int64_t rows = (bounds.height + kTileHeight - 1) / kTileHeight;
  const std::int64_t count = columns * rows;
  std::atomic<std::int64_t> next{0};
  auto worker = [&] {
    for (std::int64_t i = next++; i < count; i = next++) {
      std::int64_t cx = i % columns, cy = i / columns;
      PixelRect tile{bounds.x + cx * kTileWidth, bounds.y + cy * kTileHeight, kTileWidth, kTileHeight};
      work(tile.intersection(bounds));
    }
  };
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<std::int64_t>(threads, count));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
}

}  // namespace

void render(const Image& image, const PixelRect& bounds, PixelFormat format, std::uint8_t* destination,
            std::size_t rowBytes) {
  if (bounds.isEmpty()) return;
  forEachTile(bounds, [&](const PixelRect& tile) {
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
        for (std::size_t i = 0; i < n; ++i, src += 4, dst += 4) {
          float a = unit(src[3]);
          dst[0] = static_cast<std::uint8_t>(unit(src[0]) * a * 255.0f + 0.5f);
          dst[1] = static_cast<std::uint8_t>(unit(src[1]) * a * 255.0f + 0.5f);
          dst[2] = static_cast<std::uint8_t>(unit(src[2]) * a * 255.0f + 0.5f);
          dst[3] = static_cast<std::uint8_t>(a * 255.0f + 0.5f);
        }
      } else {
        auto* dst = reinterpret_cast<std::uint16_t*>(row) + first * 4;
        for (std::size_t i = 0; i < n; ++i, src += 4, dst += 4) {
          float a = unit(src[3]);
          dst[0] = static_cast<std::uint16_t>(unit(src[0]) * a * 65535.0f + 0.5f);
          dst[1] = static_cast<std::uint16_t>(unit(src[1]) * a * 65535.0f + 0.5f);
          dst[2] = static_cast<std::uint16_t>(unit(src[2]) * a * 65535.0f + 0.5f);
          dst[3] = static_cast<std::uint16_t>(a * 65535.0f + 0.5f);
        }
      }
    }
  });
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
