// The pieces of the "scratches" effect, for its tests: the seeded
// generator, the damage region and counts, and the two drawn layers.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <optional>

#include "coverage.h"
#include "local_effects.h"

namespace tonesmith {

// A 64-bit linear congruential generator. draw() advances the state and
// gives (state >> 33) / (2³¹ − 1), in 0..1; current() gives that value for
// the present state without advancing.
class ScratchRandom {
 public:
  explicit ScratchRandom(std::uint64_t seed);  // seeds below 1 count as 1
  double draw();
  double current() const;

 private:
  std::uint64_t state_;
};

// The brushed region grown by 1.5 % of the mask's shorter side, within the
// mask, in mask pixels (y up).
struct ScratchRegion {
  double x = 0, y = 0, width = 0, height = 0;
};
ScratchRegion scratchRegion(const LocalEffect& effect, MaskSize size);

struct ScratchCounts {
  std::int64_t candidates = 0;
  std::int64_t specks = 0;
};
ScratchCounts scratchCounts(const LocalEffect& effect, MaskSize size, const ScratchRegion& region);

// The shade layer (faint white streaks over black: a grey level) and the
// highlight layer (bright hairlines and dust over transparent: the alpha of
// white), mask-sized, rows top first. Drawn on `threads` threads (below 1:
// one a core); the pixels are the same for any number.
struct ScratchLayers {
  graphics::CoveragePlane shade, highlight;
};
std::optional<ScratchLayers> drawScratchLayers(const LocalEffect& effect, MaskSize size, int threads = 0);

// The effect mask eroded, softened and given a noisy ragged edge (white
// with alpha R); the softened core when the noise cannot be made, the mask
// itself when not even the core can.
MaterializedMask raggedAreaMask(const LocalEffect& effect, const MaterializedMask& mask, MaskSize size);
// R = clamp(C + 3.6 n E − 1.8 E, 0, 1) with the edge band E = C (1 − C),
// for core coverage c and noise n.
float raggedAlpha(float c, float n);

// A drawn layer as a mask image: the shade layer (asAlpha false) as opaque
// grey, the highlight layer (asAlpha true) as white with that alpha. The
// composite reads the planes themselves; this is for filter chains that
// stand for it.
std::optional<coreimage::Image> layerImage(const graphics::CoveragePlane& plane, bool asAlpha);

// The "scratches" kind, through the (possibly feathered) effect mask, with
// the effect's layers: they need no mask, so they may be under way on
// another thread, and are waited for once the ragged area is made.
void applyScratches(RenderState& state, const LocalEffect& effect, const MaterializedMask& mask, MaskSize size,
                    std::future<std::optional<ScratchLayers>> layers);

}  // namespace tonesmith
