// Brushed local effects: the effect and stroke records read from
// --local-effects, the coverage mask their strokes are stamped into, and the
// two effect kinds ("blur" here, "scratches" in scratches.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coreimage.h"
#include "graphics.h"
#include "json.h"
#include "tonesmith.h"

namespace tonesmith {

// A brush position as fractions of the picture, from its top-left corner,
// each clamped to 0..1.
struct BrushPoint {
  double x = 0, y = 0;
};

struct BrushStroke {
  std::vector<BrushPoint> points;  // never empty
  double radius = 0.015;           // clamped to [0.0005, 0.2]; of the mask's shorter side
  std::optional<double> rawRadius; // the number given, before clamping
  std::string shape;               // the stroke's own, else the effect's brushShape
  bool erase = false;
};

struct LocalEffect {
  std::string kind = "blur";
  std::vector<BrushStroke> strokes;  // never empty
  double opacity = 0.75;             // clamped to [0, 1]
  double feather = 0;                // clamped to [0, 0.1]; of the picture's shorter side
  std::optional<double> amount;      // as given; each kind has its default and range
  std::string brushShape = "round";
  std::string brushMaskData;
  // "seed": the raw value for the noise offset (1 when absent or not an
  // integer) and the generator's start value max(seed, 1).
  double seedValue = 1;
  std::uint64_t generatorSeed = 1;
  std::optional<double> densityScale;  // as given
};

// The effects of an array in order; entries that are not objects, have no
// usable strokes or cannot be read are left out. Anything but an array
// gives none.
std::vector<LocalEffect> readLocalEffects(const json::Value& value);

// The coverage mask's size for a picture of width × height: at most 4096
// pixels on the longer side, never enlarged, at least 1 on each side.
struct MaskSize {
  int width = 1, height = 1;
  int shorter() const { return width < height ? width : height; }
};
MaskSize coverageMaskSize(std::int64_t pictureWidth, std::int64_t pictureHeight);

// Brush tips: 64 × 64 samples, rows top first, 0 for full coverage and 255
// for none.
inline constexpr int kTipSide = 64;
using BrushTip = std::vector<std::uint8_t>;
// "imported" with Base64 of exactly 4096 bytes gives those bytes; any other
// shape, or an unusable imported tip, a generated one ("round" for names it
// does not know).
BrushTip makeBrushMask(const std::string& shape, const std::string& imported);
// A tip ready for stamping: its coverage (0..1) per sample, rows top first.
struct StampTip {
  std::vector<float> coverage;  // kTipSide × kTipSide
  // How far from the tip's centre, in samples, the resampled tip can have
  // coverage.
  double reach = kTipSide;
};
StampTip stampTip(const BrushTip& tip);

// A coverage canvas: one byte of coverage per mask pixel (0 none, 255 full),
// rows top first. Drawing on it works in the mask's frame: origin at the
// bottom-left corner, y up, one unit a pixel.
struct CoverageCanvas {
  int width = 0, height = 0;
  std::vector<std::uint8_t> alpha;
  std::uint8_t at(int x, int yFromBottom) const {
    return alpha[static_cast<std::size_t>(height - 1 - yFromBottom) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(x)];
  }
};

// One stamp: the tip drawn in the square (-d/2, -d/2, d, d) turned by
// `angle` (radians, counter-clockwise) about `center`, sampled bilinearly
// (edge samples repeated), with the square's own edges antialiased. It adds
// white coverage (source over), or with `erase` removes coverage in
// proportion to the tip. Only the canvas rows firstRow <= y < endRow
// (counted from the bottom) are touched; each pixel's result depends on the
// stamp alone, so stamping bands of rows separately gives the same canvas.
void stampBrush(const StampTip& tip, CoverageCanvas& canvas, graphics::Point center, double diameter, double angle,
                bool erase, int firstRow, int endRow);

// One stroke's stamps compound: a pixel keeps 1 − c of its transparency
// under a stamp of coverage c, whatever the order. A stroke plane holds that
// transparency over a rectangle of the canvas (x0, y0 its bottom-left pixel,
// rows from the bottom), starting at 1; a pixel whose transparency falls to
// kSettled or below is settled: set to 0 and flagged, so that later stamps
// pass over it. Its coverage then rounds to full whatever the rest of the
// stroke adds.
struct StrokePlane {
  static constexpr float kSettled = 1.0f / 1024;
  StrokePlane(int x0, int y0, int width, int height);
  int x0, y0, width, height, wordsPerRow;
  std::vector<float> transparency;      // width × height
  std::vector<std::uint64_t> settled;   // a bit per pixel, wordsPerRow a row
  // Marks a pixel (canvas coordinates) as settled.
  void settle(int x, int y);
};

// The same stamp as stampBrush, `count` times over, applied to a stroke
// plane: each pixel's transparency is multiplied by (1 − c)^count. Only
// canvas rows firstRow <= y < endRow are touched.
void stampTransparency(const StampTip& tip, StrokePlane& plane, graphics::Point center, double diameter,
                       double angle, std::uint32_t count, int firstRow, int endRow);

// The stamp centres and angles of one stroke on a mask of the given size;
// absent when there would be more than `limit` of them.
struct Stamp {
  graphics::Point center;
  double angle = 0;
};
std::optional<std::vector<Stamp>> strokeStamps(const BrushStroke& stroke, MaskSize size, double diameter,
                                               std::size_t limit);
// The stroke's stamp diameter in mask pixels.
double stampDiameter(const BrushStroke& stroke, MaskSize size);

// The turns that leave a tip's samples as they are, as a divisor of a full
// turn: 4 (a quarter turn, as for the round tip), 2 (a half turn) or 1.
int tipSymmetry(const BrushTip& tip);

// A stamp that falls `count` times on the same place at the same angle (up
// to the tip's symmetry).
struct WeightedStamp {
  graphics::Point center;
  double angle = 0;
  std::uint32_t count = 1;
};
// Every stamp of the stroke (those of strokeStamps), handed to `take` a
// bounded batch at a time with coinciding stamps merged: a segment drawn
// again (either way round when the tip allows) and stamps at the same place
// and angle are laid once with their count. The order of the batches is
// not the stroke's; a stroke's stamps compound in any order.
void forEachStampBatch(const BrushStroke& stroke, MaskSize size, double diameter, int symmetry,
                       const std::function<void(const std::vector<WeightedStamp>&)>& take);

// The effect's strokes drawn in order onto a new coverage canvas: each
// stroke's stamps compounded on a stroke plane (bands of rows on the
// machine's cores), then laid over the canvas (source over) or taken off
// it (erase). Every stamp counts, however many there are. Absent when the
// canvas cannot be made.
std::optional<CoverageCanvas> rasterizeStrokes(const LocalEffect& effect, MaskSize size);

// The coverage blurred with standard deviation `sigma` (mask pixels), its
// edges repeated outwards: the feathered mask, as a CIGaussianBlur of the
// mask image would give it. Absent when the memory cannot be had.
std::optional<CoverageCanvas> featheredCanvas(const CoverageCanvas& canvas, double sigma);

// Mask images: pictures at the coverage mask's resolution, with the extent
// (0, 0, mw, mh), worked on before they are stretched over the picture, so
// that the brush work and the mask filters never run at full size.
//
// A mask image held in memory with its 8-bit pixels: straight RGBA, rows
// top first, mask width × 4 bytes a row.
struct MaterializedMask {
  coreimage::Image image;
  std::shared_ptr<const std::vector<std::uint8_t>> pixels;
};
// A canvas as a mask image (its pixels copied); a coverage canvas gives
// white with its coverage as alpha.
MaterializedMask canvasMask(const graphics::Canvas& canvas);
MaterializedMask canvasMask(const CoverageCanvas& canvas);
// A coverage canvas as a mask image read straight from it (white with the
// coverage as alpha), without a copy.
coreimage::Image coverageImage(std::shared_ptr<const CoverageCanvas> canvas);
coreimage::Image maskImage(const graphics::Canvas& canvas);
// A mask image rendered once into memory (8-bit, straight alpha), so that
// later filters read pixels instead of running its recipe again for every
// tile; absent when the memory cannot be had.
std::optional<coreimage::Image> materialized(const coreimage::Image& image, MaskSize size);
// The same, keeping the pixels it reads from.
std::optional<MaterializedMask> materializedMask(const coreimage::Image& image, MaskSize size);
// A mask image stretched over the picture's extent.
std::optional<coreimage::Image> placeOverPicture(const coreimage::Image& mask, MaskSize size,
                                                 const coreimage::Rect& extent);

// Where a mask image has any coverage, in blocks of mask pixels, mapped onto
// the picture's extent: lets the renderer pass the source through untouched
// (its 8-bit copy paths included) wherever an effect cannot reach.
class CoverageBlocks {
 public:
  // Absent when the mask cannot be rendered.
  static std::optional<CoverageBlocks> of(const coreimage::Image& mask, MaskSize size, const coreimage::Rect& extent);
  // The same from a mask held in memory, read from its bytes.
  static CoverageBlocks of(const MaterializedMask& mask, MaskSize size, const coreimage::Rect& extent);
  // The same from a coverage canvas (white wherever it has coverage).
  static CoverageBlocks of(const CoverageCanvas& canvas, const coreimage::Rect& extent);
  // Whether any picture pixel of `rect` may be touched by coverage once the
  // mask is stretched over the picture (bicubic: two mask pixels each way).
  bool touches(const coreimage::PixelRect& rect) const;

 private:
  static constexpr int kBlock = 16;  // mask pixels on a side
  // Sized for the mask, nothing marked yet.
  CoverageBlocks(MaskSize size, const coreimage::Rect& extent);
  // Per-block flags of colour and alpha from a mask's bytes, rows top
  // first: `colour` and `alpha` tell of the pixel at a given byte offset.
  template <typename Colour, typename Alpha>
  static CoverageBlocks fromBytes(MaskSize size, const coreimage::Rect& extent, std::size_t pixelBytes, Colour colour,
                                  Alpha alpha);
  // Marks the blocks whose neighbourhood has both colour and alpha, from
  // per-block flags (rows_ × columns_, y up).
  void markUsed(const std::vector<std::uint8_t>& colour, const std::vector<std::uint8_t>& alpha);
  MaskSize size_;
  coreimage::Rect extent_;
  int columns_ = 0, rows_ = 0;
  std::vector<std::uint8_t> used_;  // rows_ × columns_, y up
};
// `effect` where the coverage can reach, `source` elsewhere; both must
// cover the same extent. Without coverage blocks, `effect` throughout.
coreimage::Image limitedToCoverage(const coreimage::Image& source, const coreimage::Image& effect,
                                   std::optional<CoverageBlocks> coverage);

// The output of a filter given all its parameters, or absent.
std::optional<coreimage::Image> filtered(const char* name, const coreimage::Parameters& parameters);
// The image blurred with its edges repeated, cropped to `extent`.
std::optional<coreimage::Image> blurredWithinExtent(const coreimage::Image& image, double radius,
                                                    const coreimage::Rect& extent);
// The image with its edges repeated outwards, cropped to `area`; an 8-bit
// opaque source keeps handing out its bytes, so that a filter reading it can
// skip rendering floats.
coreimage::Image edgeRepeated(const coreimage::Image& image, const coreimage::Rect& area);
// A wide blur of the whole picture (edges repeated, cropped to `extent`),
// through a reduced copy when the radius allows.
std::optional<coreimage::Image> blurredPicture(const coreimage::Image& image, double sigma,
                                               const coreimage::Rect& extent);
// The reduced copy a wide blur is enlarged from (blur_effect.cpp).
class ReducedBlur;
// The blurred picture as an image, and the reduced copy it is enlarged
// from when the blur is wide enough for one (else null).
struct BlurredPicture {
  coreimage::Image image;
  std::shared_ptr<const ReducedBlur> reduced;
};
std::optional<BlurredPicture> blurredPictureParts(const coreimage::Image& image, double sigma,
                                                  const coreimage::Rect& extent);
// The "blur" kind's standard deviation: `amount` per mille of the shorter side.
double blurSigma(const LocalEffect& effect, const coreimage::Rect& extent);
// The "blur" kind: the blurred picture (made beforehand, blurSigma) shows
// through the coverage, weakened by the opacity. From the picture's bytes
// the blend is worked out in 8 bits in one pass.
void applyBlur(RenderState& state, const LocalEffect& effect, const std::shared_ptr<const CoverageCanvas>& coverage,
               MaskSize size, const coreimage::Rect& extent, const std::optional<BlurredPicture>& blurred);


}  // namespace tonesmith
