// The ragged area mask of the "scratches" effect: the effect mask eroded,
// softened, and given an edge shifted in and out by blotchy noise. Every
// image of the chain is a grey (the mask is white with alpha equal to its
// coverage), so it is worked on single-channel planes: the coverage as
// bytes, the soft core and the noise as floats.
#include <algorithm>
#include <cmath>
#include <new>

#include "node.h"
#include "planes.h"
#include "scratches.h"

namespace tonesmith {

using coreimage::BytePlane;
using coreimage::FloatPlane;

namespace {

// White with the given alpha, as the mask of a rendered image would hold it.
MaterializedMask maskOfAlpha(const BytePlane& alpha) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(alpha.values.size() * 4);
  coreimage::inTwoHalves(alpha.height, [&](std::int64_t first, std::int64_t end) {
    for (std::int64_t y = first; y < end; ++y) {
      const std::uint8_t* a = alpha.row(y);
      std::uint8_t* px = pixels->data() + static_cast<std::size_t>(y * alpha.width) * 4;
      for (std::int64_t x = 0; x < alpha.width; ++x, px += 4) {
        const std::uint8_t colour = a[x] ? 255 : 0;
        px[0] = px[1] = px[2] = colour;
        px[3] = a[x];
      }
    }
  });
  return {coreimage::Image::fromPixels(pixels, pixels->data(), alpha.width, alpha.height, 8,
                                       static_cast<std::size_t>(alpha.width) * 4),
          pixels};
}

// A float coverage as the byte the renderer would store.
inline std::uint8_t byteOf(float v) { return static_cast<std::uint8_t>(coreimage::unitComponent(v) * 255.0f + 0.5f); }

// The erosion radius ρ: from the largest raw radius among the strokes.
double erosionRadius(const LocalEffect& effect, MaskSize size) {
  const double m = size.shorter();
  double rMax = 0;
  bool anyRadius = false;
  for (const BrushStroke& stroke : effect.strokes)
    if (stroke.rawRadius) {
      rMax = anyRadius ? std::max(rMax, *stroke.rawRadius) : *stroke.rawRadius;
      anyRadius = true;
    }
  if (!anyRadius) rMax = 0.015;
  return std::max(std::min(0.02 * m, 0.35 * rMax * m), 1.0);
}

// The soft core S: the coverage's disc minimum of radius ρ, blurred by ρ.
BytePlane softCore(const MaterializedMask& mask, MaskSize size, double rho) {
  FloatPlane soft(size.width, size.height);
  {
    BytePlane coverage(size.width, size.height);
    coreimage::inTwoHalves(size.height, [&](std::int64_t first, std::int64_t end) {
      const std::uint8_t* px = mask.pixels->data() + static_cast<std::size_t>(first * size.width) * 4;
      for (std::size_t i = first * size.width, n = end * size.width; i < n; ++i, px += 4) coverage.values[i] = px[3];
    });
    const BytePlane eroded = coreimage::discMinimum(coverage, rho);
    coreimage::inTwoHalves(size.height, [&](std::int64_t first, std::int64_t end) {
      for (std::size_t i = first * size.width, n = end * size.width; i < n; ++i)
        soft.values[i] = coreimage::componentOfByte(eroded.values[i]);
    });
  }
  coreimage::gaussianBlur(soft, rho);
  BytePlane core(size.width, size.height);
  coreimage::inTwoHalves(size.height, [&](std::int64_t first, std::int64_t end) {
    for (std::size_t i = first * size.width, n = end * size.width; i < n; ++i) core.values[i] = byteOf(soft.values[i]);
  });
  return core;
}

// The rows and columns (top first) holding core values strictly between 0
// and 1, where the edge band is not zero; empty when there are none.
coreimage::PixelRect unsettledArea(const BytePlane& core) {
  std::int64_t x0 = core.width, x1 = -1, y0 = core.height, y1 = -1;
  for (std::int64_t y = 0; y < core.height; ++y) {
    const std::uint8_t* row = core.row(y);
    std::int64_t first = 0;
    while (first < core.width && (row[first] == 0 || row[first] == 255)) ++first;
    if (first == core.width) continue;
    std::int64_t last = core.width - 1;
    while (row[last] == 0 || row[last] == 255) --last;
    x0 = std::min(x0, first);
    x1 = std::max(x1, last);
    y0 = std::min(y0, y);
    y1 = y;
  }
  if (x1 < x0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// The noise n over `area` (top-first rows and columns of the mask) and
// `reach` around it, within the mask: the random field's red, shifted by
// the seed, blurred with the mask's edges repeated and given contrast 4.
// Beyond the reach the blur's window ends, as a filter tile's would.
struct NoiseWindow {
  coreimage::PixelRect rect;  // top-first rows and columns of the mask
  FloatPlane noise;
};
NoiseWindow raggedNoise(const LocalEffect& effect, MaskSize size, const coreimage::PixelRect& area) {
  const double sigma = std::max(0.006 * size.shorter(), 1.5);
  const auto reach = static_cast<std::int64_t>(std::ceil(3 * sigma));
  const std::int64_t x0 = std::max<std::int64_t>(area.x - reach, 0), x1 = std::min<std::int64_t>(area.maxX() + reach, size.width);
  const std::int64_t y0 = std::max<std::int64_t>(area.y - reach, 0), y1 = std::min<std::int64_t>(area.maxY() + reach, size.height);
  // The field moved by (fmod(seed, 997), fmod(seed, 613)): whole pixels, the
  // seed being a whole number. Mask pixel (x, y), y up, shows the field's
  // pixel (x − dx, y − dy).
  const auto dx = static_cast<std::int64_t>(std::llround(std::fmod(effect.seedValue, 997)));
  const auto dy = static_cast<std::int64_t>(std::llround(std::fmod(effect.seedValue, 613)));
  const coreimage::PixelRect field{x0 - dx, (size.height - y1) - dy, x1 - x0, y1 - y0};
  NoiseWindow window{{x0, y0, x1 - x0, y1 - y0}, coreimage::randomField(field, 0)};
  coreimage::gaussianBlur(window.noise, sigma);
  // Contrast 4 about the middle grey, unclamped.
  for (float& v : window.noise.values) v = v * 4.0f - 1.5f;
  return window;
}

}  // namespace

float raggedAlpha(float c, float n) {
  const float band = c * (1 - c);
  const float lifted = n * band * 3.6f;
  const float difference = (lifted + c) - band * 1.8f;
  return std::min(std::max(difference, 0.0f), 1.0f);
}

MaterializedMask raggedAreaMask(const LocalEffect& effect, const MaterializedMask& mask, MaskSize size) {
  BytePlane core;
  try {
    core = softCore(mask, size, erosionRadius(effect, size));
  } catch (const std::bad_alloc&) {
    return mask;  // without the core, the mask itself
  }
  try {
    const coreimage::PixelRect area = unsettledArea(core);
    // Where the core is 0 or 1 the band is zero and the ragged mask is the
    // core itself: the noise is made only around the rest.
    if (area.isEmpty()) return maskOfAlpha(core);
    const NoiseWindow window = raggedNoise(effect, size, area);
    // The core becomes the ragged mask in place: each value is read once,
    // then overwritten.
    BytePlane& ragged = core;
    coreimage::inTwoHalves(area.height, [&](std::int64_t first, std::int64_t end) {
      for (std::int64_t y = area.y + first; y < area.y + end; ++y) {
        std::uint8_t* c = ragged.row(y);
        const float* n = window.noise.row(y - window.rect.y) - window.rect.x;
        for (std::int64_t x = area.x; x < area.maxX(); ++x)
          if (c[x] != 0 && c[x] != 255) c[x] = byteOf(raggedAlpha(coreimage::componentOfByte(c[x]), n[x]));
      }
    });
    return maskOfAlpha(ragged);
  } catch (const std::bad_alloc&) {
  }
  try {
    return maskOfAlpha(core);  // without the noise, the soft core
  } catch (const std::bad_alloc&) {
    return mask;
  }
}

}  // namespace tonesmith
