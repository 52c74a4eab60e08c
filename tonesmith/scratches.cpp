// The "scratches" local effect: seeded film damage (long faded streaks,
// bright hairlines and dust) drawn on two mask-sized layers inside the
// brushed region, limited to a ragged-edged version of the effect mask and
// composited over the picture.
#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <system_error>
#include <thread>
#include <vector>

#include "coverage.h"
#include "local_effects.h"
#include "node.h"
#include "options.h"
#include "scratches.h"

namespace tonesmith {

using coreimage::Image;
using coreimage::Rect;

namespace {

constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kIncrement = 1442695040888963407ULL;

// The drawing parameters that differ between the two modes.
struct DamageMode {
  double strength;  // a
  double acceptBase, acceptScale, acceptPower;
};

}  // namespace

ScratchRandom::ScratchRandom(std::uint64_t seed) : state_(std::max<std::uint64_t>(seed, 1) * kMultiplier + kIncrement) {}

double ScratchRandom::current() const { return static_cast<double>(state_ >> 33) / 2147483647.0; }

double ScratchRandom::draw() {
  state_ = state_ * kMultiplier + kIncrement;
  return current();
}

ScratchRegion scratchRegion(const LocalEffect& effect, MaskSize size) {
  const double m = size.shorter();
  double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
  for (const BrushStroke& stroke : effect.strokes)
    for (const BrushPoint& p : stroke.points) {
      const double px = p.x * size.width, py = (1 - p.y) * size.height, half = stroke.radius * m;
      minX = std::min(minX, px - half);
      minY = std::min(minY, py - half);
      maxX = std::max(maxX, px + half);
      maxY = std::max(maxY, py + half);
    }
  if (!(maxX > minX && maxY > minY)) {
    minX = minY = 0;
    maxX = size.width;
    maxY = size.height;
  }
  const double grow = 0.015 * m;
  minX = std::max(minX - grow, 0.0);
  minY = std::max(minY - grow, 0.0);
  maxX = std::min(maxX + grow, double(size.width));
  maxY = std::min(maxY + grow, double(size.height));
  if (!(maxX > minX && maxY > minY)) {
    minX = minY = 0;
    maxX = size.width;
    maxY = size.height;
  }
  return {minX, minY, maxX - minX, maxY - minY};
}

ScratchCounts scratchCounts(const LocalEffect& effect, MaskSize size, const ScratchRegion& z) {
  const bool density = effect.densityScale.has_value();
  const double a = density ? 1 : clamp(effect.amount.value_or(28), 1, 40) / 40;
  const double m = size.shorter();
  const double q = -std::log(std::max(1 - (0.11 * a + 0.08), 0.01));
  const double L = (0.003 * a + 0.069) * m, T = (0.00085 * a + 0.00055) * m;
  const double x = q * z.width * z.height / std::max(0.72 * L * T, 1.0);
  ScratchCounts counts;
  if (density) {
    const double d = clamp(*effect.densityScale, 5, 50);
    counts.candidates = static_cast<std::int64_t>(clamp(std::round(d * x * 2.4), 240, 900000));
    counts.specks = static_cast<std::int64_t>(clamp(0.3 * double(counts.candidates), 24, 60000));
  } else {
    counts.candidates = static_cast<std::int64_t>(clamp(std::round(x), 48, 18000));
    counts.specks = static_cast<std::int64_t>(clamp(0.3 * double(counts.candidates), 24, 4500));
  }
  return counts;
}

namespace {

// The marks of a batch of candidates, per layer, in drawing order.
struct MarkBatch {
  std::vector<graphics::CoverageMark> shade, highlight;
  void clear() {
    shade.clear();
    highlight.clear();
  }
};

// Draws a batch: both layers in fixed bands on all cores, every band seeing
// its marks in the order the generator made them, so that the pixels do not
// depend on the number of threads.
void drawBatch(ScratchLayers& layers, const MarkBatch& batch, int threads) {
  const graphics::CoverageJob jobs[] = {{&layers.shade, batch.shade}, {&layers.highlight, batch.highlight}};
  graphics::drawInBands(jobs, threads);
}

// Candidates generated before their marks are drawn: bounds the marks held
// (at most four a candidate).
constexpr std::int64_t kCandidatesPerBatch = 65536;

// Runs the generator over the candidates and the dust, drawing their marks
// on the layers batch by batch.
void drawDamage(ScratchLayers& layers, const LocalEffect& effect, MaskSize size, int threads) {
  const bool density = effect.densityScale.has_value();
  const DamageMode mode = density ? DamageMode{1, 0.01, 0.99, 2.4}
                                  : DamageMode{clamp(effect.amount.value_or(28), 1, 40) / 40, 0.12, 0.88, 1.35};
  const double a = mode.strength, m = size.shorter(), op = effect.opacity;
  const ScratchRegion z = scratchRegion(effect, size);
  const ScratchCounts counts = scratchCounts(effect, size, z);
  const double cx = z.x + z.width / 2, cy = z.y + z.height / 2;
  const double hx = std::max(z.width / 2, 1.0), hy = std::max(z.height / 2, 1.0);

  ScratchRandom random(effect.generatorSeed);
  auto accepted = [&](double x, double y) {
    const double w = 1 - std::min(std::hypot((x - cx) / hx, (y - cy) / hy), 1.0);
    return random.draw() <= mode.acceptBase + mode.acceptScale * std::pow(w, mode.acceptPower);
  };
  MarkBatch batch;
  auto flush = [&] {
    drawBatch(layers, batch, threads);
    batch.clear();
  };

  const double theta0 = random.current() * std::numbers::pi;  // the common direction of long streaks
  for (std::int64_t i = 0; i < counts.candidates; ++i) {
    if (i % kCandidatesPerBatch == kCandidatesPerBatch - 1) flush();
    const double x = z.x + random.draw() * z.width;
    const double y = z.y + random.draw() * z.height;
    if (!accepted(x, y)) continue;
    const double c = random.draw(), l = random.draw(), t = random.draw();
    double phi, length;
    if (c >= 0.18) {  // a long streak
      phi = theta0 + (t - 0.5) * 0.48;
      length = ((0.06 * a + 0.07) * l + 0.025) * m;
    } else {  // a short scratch in any direction
      phi = t * 2 * std::numbers::pi;
      length = ((0.015 * a + 0.02) * l + 0.006) * m;
    }
    const int n = static_cast<int>(random.draw() * 2) + 1;
    const double h = std::max(((0.0004 * a + 0.0009) * random.draw() + 0.00055) * m, 0.45);
    const double wobble = std::max((a + 2.2) * h, 1.2);
    const double dirX = std::sin(phi), dirY = std::cos(phi), sideX = std::cos(phi), sideY = -std::sin(phi);
    graphics::Point previous{x, y};
    for (int k = 1; k <= n; ++k) {
      const double offset = wobble * (random.draw() - 0.5);
      const double along = length * k / n;
      const graphics::Point next{x + dirX * along + sideX * offset, y + dirY * along + sideY * offset};
      if (random.draw() >= 0.035) {
        const double alpha = op * (0.16 + 0.28 * random.draw());
        const double width = std::max(h * (1 + 0.9 * random.draw()), 0.45);
        batch.shade.push_back(graphics::CoverageMark::line(previous, next, width, alpha));
      }
      if (random.draw() >= 0.05) {
        const double alpha = op * (0.72 + 0.26 * random.draw());
        const double width = std::max(h * (0.58 + 0.38 * random.draw()), 0.35);
        batch.highlight.push_back(graphics::CoverageMark::line(previous, next, width, alpha));
      }
      previous = next;
    }
  }
  flush();

  // Dust only marks the highlight layer.
  for (std::int64_t i = 0; i < counts.specks; ++i) {
    const double x = z.x + random.draw() * z.width;
    const double y = z.y + random.draw() * z.height;
    if (!accepted(x, y)) continue;
    const double alpha = op * (0.32 + 0.58 * random.draw());
    const double c = random.draw(), v = random.draw();
    if (c < 0.18) {  // a hair
      const double angle = random.draw() * 2 * std::numbers::pi;
      const double width = std::max(0.45 + 0.3 * random.draw(), 0.35);
      const double reach = 1.2 + 2.2 * v;
      batch.highlight.push_back(graphics::CoverageMark::line(
          {x, y}, {x + reach * std::cos(angle), y + reach * std::sin(angle)}, width, alpha));
    } else {  // a speck
      batch.highlight.push_back(graphics::CoverageMark::circle({x, y}, 0.35 + 0.65 * v, alpha));
    }
  }
  flush();
}

}  // namespace

std::optional<Image> layerImage(const graphics::CoveragePlane& plane, bool asAlpha) {
  const std::size_t count = plane.bytes().size();
  std::shared_ptr<std::vector<std::uint8_t>> pixels;
  try {
    pixels = std::make_shared<std::vector<std::uint8_t>>(count * 4);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  const std::uint8_t* in = plane.bytes().data();
  std::uint8_t* out = pixels->data();
  for (std::size_t i = 0; i < count; ++i, out += 4) {
    const std::uint8_t v = in[i];
    if (asAlpha) {
      const std::uint8_t colour = v ? 255 : 0;
      out[0] = out[1] = out[2] = colour;
      out[3] = v;
    } else {
      out[0] = out[1] = out[2] = v;
      out[3] = 255;
    }
  }
  return Image::fromPixels(pixels, pixels->data(), plane.width(), plane.height(), 8,
                           static_cast<std::size_t>(plane.width()) * 4);
}

std::optional<ScratchLayers> drawScratchLayers(const LocalEffect& effect, MaskSize size, int threads) {
  if (threads < 1) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  auto shade = graphics::CoveragePlane::create(size.width, size.height, 0);
  auto highlight = graphics::CoveragePlane::create(size.width, size.height, 0);
  if (!shade || !highlight) return std::nullopt;
  ScratchLayers layers{std::move(*shade), std::move(*highlight)};
  try {
    drawDamage(layers, effect, size, threads);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return layers;
}

}  // namespace tonesmith
