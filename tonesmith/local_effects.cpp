// Brushed local effects: reading --local-effects, stamping each effect's
// strokes into its coverage mask, feathering, and the "blur" kind.
#include "local_effects.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <system_error>

#include "bands.h"
#include "node.h"
#include "planes.h"
#include "options.h"
#include "scratches.h"

namespace tonesmith {
namespace {

using coreimage::Image;
using coreimage::Parameters;
using coreimage::Rect;

std::optional<double> numberMember(const json::Value& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (std::isnan(v)) return std::nullopt;
  return v;
}

double clampedMember(const json::Value& object, const char* key, double fallback, double lo, double hi) {
  return clamp(numberMember(object, key).value_or(fallback), lo, hi);
}

std::optional<std::string> stringMember(const json::Value& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<BrushStroke> readStroke(const json::Value& value, const std::string& brushShape) {
  if (!value.is_object()) return std::nullopt;
  auto points = value.find("points");
  if (points == value.end() || !points->is_array() || points->empty()) return std::nullopt;
  BrushStroke stroke;
  for (const json::Value& point : *points) {
    if (!point.is_object()) continue;
    auto x = numberMember(point, "x"), y = numberMember(point, "y");
    if (!x || !y) continue;  // a point lacking either number is dropped
    stroke.points.push_back({clamp(*x, 0, 1), clamp(*y, 0, 1)});
  }
  if (stroke.points.empty()) return std::nullopt;
  stroke.rawRadius = numberMember(value, "radius");
  stroke.radius = clamp(stroke.rawRadius.value_or(0.015), 0.0005, 0.2);
  stroke.shape = stringMember(value, "shape").value_or(brushShape);
  auto erase = value.find("erase");
  stroke.erase = erase != value.end() && erase->is_boolean() && erase->get<bool>();
  return stroke;
}

// "seed": an integer (a whole number written with a fraction counts too);
// anything else is 1.
void readSeed(const json::Value& object, LocalEffect& effect) {
  auto it = object.find("seed");
  if (it == object.end() || !it->is_number()) return;
  if (it->is_number_unsigned()) {
    const std::uint64_t v = it->get<std::uint64_t>();
    effect.seedValue = static_cast<double>(v);
    effect.generatorSeed = std::max<std::uint64_t>(v, 1);
  } else if (it->is_number_integer()) {
    const std::int64_t v = it->get<std::int64_t>();
    effect.seedValue = static_cast<double>(v);
    effect.generatorSeed = static_cast<std::uint64_t>(std::max<std::int64_t>(v, 1));
  } else {
    const double v = it->get<double>();
    if (!(std::trunc(v) == v && std::fabs(v) < 9.2e18)) return;
    effect.seedValue = v;
    effect.generatorSeed = static_cast<std::uint64_t>(std::max<std::int64_t>(static_cast<std::int64_t>(v), 1));
  }
}

std::optional<LocalEffect> readEffect(const json::Value& value) {
  if (!value.is_object()) return std::nullopt;
  LocalEffect effect;
  effect.kind = stringMember(value, "kind").value_or("blur");
  effect.opacity = clampedMember(value, "opacity", 0.75, 0, 1);
  effect.feather = clampedMember(value, "feather", 0, 0, 0.1);
  effect.amount = numberMember(value, "amount");
  effect.brushShape = stringMember(value, "brushShape").value_or("round");
  effect.brushMaskData = stringMember(value, "brushMaskData").value_or("");
  readSeed(value, effect);
  effect.densityScale = numberMember(value, "densityScale");
  auto strokes = value.find("strokes");
  if (strokes == value.end() || !strokes->is_array()) return std::nullopt;
  for (const json::Value& stroke : *strokes)
    if (auto s = readStroke(stroke, effect.brushShape)) effect.strokes.push_back(std::move(*s));
  if (effect.strokes.empty()) return std::nullopt;
  return effect;
}

}  // namespace

namespace {

// An image with its edges repeated outwards (the clamp of `inner`, which
// renders it) that also hands out the inner picture's 8-bit bytes, edges
// repeated, so that a filter reading it can skip rendering floats wherever
// the inner picture is an untouched opaque source.
class EdgeRepeatedNode final : public coreimage::Node {
 public:
  EdgeRepeatedNode(std::shared_ptr<const Node> clamped, std::shared_ptr<const Node> inner,
                   const coreimage::PixelRect& innerPixels)
      : clamped_(std::move(clamped)), inner_(std::move(inner)), innerPixels_(innerPixels) {}
  Rect extent() const override { return clamped_->extent(); }
  void render(const coreimage::TileView& out) const override { clamped_->render(out); }
  bool readOpaqueBytes(const coreimage::PixelRect& region, std::uint8_t* destination,
                       std::size_t rowBytes) const override {
    const coreimage::PixelRect& p = innerPixels_;
    if (region.isEmpty() || p.isEmpty()) return false;
    // Wholly inside: the inner picture's own bytes, without a copy between.
    if (region.intersection(p) == region) return inner_->readOpaqueBytes(region, destination, rowBytes);
    auto clampX = [&](std::int64_t x) { return std::clamp(x, p.x, p.maxX() - 1); };
    auto clampY = [&](std::int64_t y) { return std::clamp(y, p.y, p.maxY() - 1); };
    const std::int64_t x0 = clampX(region.x), x1 = clampX(region.maxX() - 1) + 1;
    const std::int64_t y0 = clampY(region.y), y1 = clampY(region.maxY() - 1) + 1;
    const coreimage::PixelRect read{x0, y0, x1 - x0, y1 - y0};
    const std::size_t readRowBytes = static_cast<std::size_t>(read.width) * 4;
    const std::int64_t leftCount = std::clamp<std::int64_t>(p.x - region.x, 0, region.width);
    const std::int64_t rightCount = std::clamp<std::int64_t>(region.maxX() - p.maxX(), 0, region.width - leftCount);
    const auto left = static_cast<std::size_t>(leftCount), right = static_cast<std::size_t>(rightCount);
    const std::size_t middleBytes = static_cast<std::size_t>(region.width - leftCount - rightCount) * 4;
    if (region.intersection(p) == read) {
      // The region holds the picture's part it reads: read in place, then
      // repeat its edges outwards (rows top first).
      const auto top = static_cast<std::size_t>(region.maxY() - y1), bottom = static_cast<std::size_t>(region.maxY() - y0);
      if (!inner_->readOpaqueBytes(read, destination + top * rowBytes + left * 4, rowBytes)) return false;
      for (std::size_t row = top; row < bottom; ++row) {
        std::uint8_t* line = destination + row * rowBytes;
        for (std::size_t i = 0; i < left; ++i) std::memcpy(line + i * 4, line + left * 4, 4);
        for (std::size_t i = 0; i < right; ++i) std::memcpy(line + left * 4 + middleBytes + i * 4, line + left * 4 + middleBytes - 4, 4);
      }
      const std::size_t lineBytes = static_cast<std::size_t>(region.width) * 4;
      for (std::size_t row = 0; row < top; ++row) std::memcpy(destination + row * rowBytes, destination + top * rowBytes, lineBytes);
      for (std::size_t row = bottom; row < static_cast<std::size_t>(region.height); ++row)
        std::memcpy(destination + row * rowBytes, destination + (bottom - 1) * rowBytes, lineBytes);
      return true;
    }
    std::vector<std::uint8_t> bytes(readRowBytes * static_cast<std::size_t>(read.height));
    if (!inner_->readOpaqueBytes(read, bytes.data(), readRowBytes)) return false;
    // Rows run top first in both buffers: the edge pixels repeated to the
    // left, the row read, the edge pixels repeated to the right.
    for (std::int64_t y = region.maxY() - 1, row = 0; y >= region.y; --y, ++row) {
      const std::uint8_t* src = bytes.data() + static_cast<std::size_t>(read.maxY() - 1 - clampY(y)) * readRowBytes;
      std::uint8_t* dst = destination + static_cast<std::size_t>(row) * rowBytes;
      for (std::size_t i = 0; i < left; ++i, dst += 4) std::memcpy(dst, src, 4);
      std::memcpy(dst, src, middleBytes);
      dst += middleBytes;
      for (std::size_t i = 0; i < right; ++i, dst += 4) std::memcpy(dst, src + readRowBytes - 4, 4);
    }
    return true;
  }

 private:
  std::shared_ptr<const Node> clamped_, inner_;
  coreimage::PixelRect innerPixels_;
};

}  // namespace

Image edgeRepeated(const Image& image, const Rect& area) {
  const Image clamped = image.clampedToExtent();
  const Rect e = image.extent();
  if (!image.node() || e.isInfinite() || e.isEmpty() || !(e.integral() == e)) return clamped.cropped(area);
  return Image(std::make_shared<EdgeRepeatedNode>(clamped.node(), image.node(), coreimage::pixelsInside(e)))
      .cropped(area);
}

namespace {

// Renders the effect over the runs of columns of each tile that coverage
// may reach and passes the source through over the rest; a region without
// coverage is the source's own, fast paths included.
class CoverageLimitedNode final : public coreimage::Node {
 public:
  CoverageLimitedNode(std::shared_ptr<const Node> source, std::shared_ptr<const Node> effect, CoverageBlocks coverage)
      : source_(std::move(source)), effect_(std::move(effect)), coverage_(std::move(coverage)),
        extent_(source_->extent().unionWith(effect_->extent())) {}
  Rect extent() const override { return extent_; }
  void render(const coreimage::TileView& out) const override {
    const coreimage::PixelRect r = out.rect;
    std::int64_t start = r.x;
    bool startUsed = false;
    for (std::int64_t x = r.x; x < r.maxX();) {
      // Runs start at multiples of kRunWidth (rounded down for negative x).
      const std::int64_t floorRun = (x >= 0 ? x : x - kRunWidth + 1) / kRunWidth * kRunWidth;
      const std::int64_t next = std::min(r.maxX(), floorRun + kRunWidth);
      const bool used = coverage_.touches({x, r.y, next - x, r.height});
      if (x == r.x) startUsed = used;
      if (used != startUsed) {
        renderRun(out, start, x, startUsed);
        start = x;
        startUsed = used;
      }
      x = next;
    }
    renderRun(out, start, r.maxX(), startUsed);
  }
  bool copyPixels(const coreimage::PixelRect& region, coreimage::PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    return (coverage_.touches(region) ? effect_ : source_)->copyPixels(region, format, destination, rowBytes);
  }
  bool readOpaqueBytes(const coreimage::PixelRect& region, std::uint8_t* destination,
                       std::size_t rowBytes) const override {
    return (coverage_.touches(region) ? effect_ : source_)->readOpaqueBytes(region, destination, rowBytes);
  }

 private:
  static constexpr std::int64_t kRunWidth = 128;
  void renderRun(const coreimage::TileView& out, std::int64_t from, std::int64_t to, bool used) const {
    if (to <= from) return;
    const coreimage::TileView part = out.subview({from, out.rect.y, to - from, out.rect.height});
    (used ? effect_ : source_)->render(part);
  }
  std::shared_ptr<const Node> source_, effect_;
  CoverageBlocks coverage_;
  Rect extent_;
};

}  // namespace

namespace {

// Runs `work` on a thread of its own, or when its result is asked for if no
// thread can be had.
template <typename Work>
auto startEarly(Work work) {
  try {
    return std::async(std::launch::async, work);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, work);
  }
}

// Runs work(first, end) over bands of `kBandRows` rows of a picture
// `height` rows high, on the machine's cores.
constexpr int kBandRows = 64;
template <typename Work>
void forEachRowBand(int height, Work work) {
  coreimage::forEachBand((height + kBandRows - 1) / kBandRows, [&](std::int64_t band) {
    const int first = static_cast<int>(band) * kBandRows;
    work(first, std::min(first + kBandRows, height));
  });
}

}  // namespace

std::vector<LocalEffect> readLocalEffects(const json::Value& value) {
  std::vector<LocalEffect> effects;
  if (!value.is_array()) return effects;
  for (const json::Value& entry : value)
    if (auto effect = readEffect(entry)) effects.push_back(std::move(*effect));
  return effects;
}

MaskSize coverageMaskSize(std::int64_t pictureWidth, std::int64_t pictureHeight) {
  const double w = static_cast<double>(std::max<std::int64_t>(pictureWidth, 1));
  const double h = static_cast<double>(std::max<std::int64_t>(pictureHeight, 1));
  const double s = std::min(4096 / std::max(w, h), 1.0);
  return {std::max(1, static_cast<int>(s * w)), std::max(1, static_cast<int>(s * h))};
}

namespace {

// The canvas rectangle a stroke may touch: its points' box grown by the
// stamps' reach (half the square's diagonal and its soft edge), in pixels
// from the bottom-left; empty when it lies off the canvas.
coreimage::PixelRect strokeBounds(const BrushStroke& stroke, MaskSize size, double diameter) {
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (const BrushPoint& p : stroke.points) {
    minX = std::min(minX, p.x * size.width);
    maxX = std::max(maxX, p.x * size.width);
    minY = std::min(minY, (1 - p.y) * size.height);
    maxY = std::max(maxY, (1 - p.y) * size.height);
  }
  const double reach = diameter * 0.7072 + 1;
  const auto x0 = static_cast<std::int64_t>(std::max(std::floor(minX - reach), 0.0));
  const auto y0 = static_cast<std::int64_t>(std::max(std::floor(minY - reach), 0.0));
  const auto x1 = static_cast<std::int64_t>(std::min(std::ceil(maxX + reach), double(size.width)));
  const auto y1 = static_cast<std::int64_t>(std::min(std::ceil(maxY + reach), double(size.height)));
  if (x1 <= x0 || y1 <= y0) return {0, 0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

// Runs work(first, end) over bands of a stroke plane's rows, in canvas rows.
template <typename Work>
void forEachPlaneBand(const StrokePlane& plane, Work work) {
  forEachRowBand(plane.height, [&](int first, int end) { work(plane.y0 + first, plane.y0 + end); });
}

// One stroke onto the canvas: its stamps compounded on a plane over the
// rectangle it may touch, then laid over the canvas or taken off it. False
// when the plane cannot be had.
bool drawStroke(const BrushStroke& stroke, const StampTip& tip, int symmetry, CoverageCanvas& canvas, MaskSize size) {
  const double d = stampDiameter(stroke, size);
  const coreimage::PixelRect bounds = strokeBounds(stroke, size, d);
  if (bounds.isEmpty()) return true;
  std::optional<StrokePlane> made;
  try {
    made.emplace(static_cast<int>(bounds.x), static_cast<int>(bounds.y), static_cast<int>(bounds.width),
                 static_cast<int>(bounds.height));
  } catch (const std::bad_alloc&) {
    return false;
  }
  StrokePlane& plane = *made;
  auto canvasRow = [&](int y) { return canvas.alpha.data() + static_cast<std::size_t>(canvas.height - 1 - y) * canvas.width; };
  // Pixels the stroke cannot change are settled from the start: full
  // coverage under paint, none under erasing.
  const std::uint8_t unchangeable = stroke.erase ? 0 : 255;
  forEachPlaneBand(plane, [&](int first, int end) {
    for (int y = first; y < end; ++y) {
      const std::uint8_t* row = canvasRow(y);
      for (int x = plane.x0; x < plane.x0 + plane.width; ++x)
        if (row[x] == unchangeable) plane.settle(x, y);
    }
  });
  const double reach = d * 0.7072 + 1;
  forEachStampBatch(stroke, size, d, symmetry, [&](const std::vector<WeightedStamp>& batch) {
    forEachPlaneBand(plane, [&](int first, int end) {
      for (const WeightedStamp& s : batch) {
        if (s.center.y + reach < first || s.center.y - reach > end) continue;
        stampTransparency(tip, plane, s.center, d, s.angle, s.count, first, end);
      }
    });
  });
  // Source over of white at 1 − transparency, or removal of as much.
  forEachPlaneBand(plane, [&](int first, int end) {
    for (int y = first; y < end; ++y) {
      std::uint8_t* row = canvasRow(y);
      const float* t = plane.transparency.data() + static_cast<std::size_t>(y - plane.y0) * plane.width;
      for (int x = plane.x0; x < plane.x0 + plane.width; ++x, ++t) {
        if (*t >= 1) continue;
        const float a = row[x];
        const float result = stroke.erase ? a * *t : a + (1 - *t) * (255 - a);
        row[x] = static_cast<std::uint8_t>(std::clamp(result + 0.5f, 0.0f, 255.0f));
      }
    }
  });
  return true;
}

}  // namespace

std::optional<CoverageCanvas> rasterizeStrokes(const LocalEffect& effect, MaskSize size) {
  CoverageCanvas canvas;
  try {
    canvas.alpha.assign(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height), 0);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  canvas.width = size.width;
  canvas.height = size.height;
  struct PreparedTip {
    StampTip tip;
    int symmetry;
  };
  std::map<std::string, PreparedTip> tips;  // by shape
  for (const BrushStroke& stroke : effect.strokes) {
    auto tip = tips.find(stroke.shape);
    if (tip == tips.end()) {
      const BrushTip made = makeBrushMask(stroke.shape, effect.brushMaskData);
      tip = tips.emplace(stroke.shape, PreparedTip{stampTip(made), tipSymmetry(made)}).first;
    }
    if (!drawStroke(stroke, tip->second.tip, tip->second.symmetry, canvas, size)) return std::nullopt;
  }
  return canvas;
}

MaterializedMask canvasMask(const graphics::Canvas& canvas) {
  imageio::Raster raster = canvas.toRaster();
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::move(raster.data));
  return {Image::fromPixels(pixels, pixels->data(), raster.width, raster.height, 8, raster.rowBytes()), pixels};
}

std::optional<CoverageCanvas> featheredCanvas(const CoverageCanvas& canvas, double sigma) {
  CoverageCanvas soft{canvas.width, canvas.height, {}};
  std::vector<float> plane;
  try {
    plane.resize(canvas.alpha.size());
    soft.alpha.resize(canvas.alpha.size());
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  const auto width = static_cast<std::size_t>(canvas.width);
  forEachRowBand(canvas.height, [&](int first, int end) {
    std::transform(canvas.alpha.begin() + first * width, canvas.alpha.begin() + end * width, plane.begin() + first * width,
                   [](std::uint8_t a) { return a / 255.0f; });
  });
  coreimage::blurPlane(plane.data(), width, static_cast<std::size_t>(canvas.height), sigma);
  forEachRowBand(canvas.height, [&](int first, int end) {
    std::transform(plane.begin() + first * width, plane.begin() + end * width, soft.alpha.begin() + first * width,
                   [](float v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255 + 0.5f); });
  });
  return soft;
}

MaterializedMask canvasMask(const CoverageCanvas& canvas) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(canvas.alpha.size() * 4);
  const auto width = static_cast<std::size_t>(canvas.width);
  forEachRowBand(canvas.height, [&](int first, int end) {
    std::uint8_t* out = pixels->data() + first * width * 4;
    for (std::size_t i = first * width; i < end * width; ++i, out += 4) {
      const std::uint8_t a = canvas.alpha[i];
      out[0] = out[1] = out[2] = a ? 255 : 0;
      out[3] = a;
    }
  });
  return {Image::fromPixels(pixels, pixels->data(), canvas.width, canvas.height, 8,
                            static_cast<std::size_t>(canvas.width) * 4),
          pixels};
}

namespace {

// A coverage canvas read as a mask image: white with the coverage as alpha.
class CoverageImageNode final : public coreimage::Node {
 public:
  explicit CoverageImageNode(std::shared_ptr<const CoverageCanvas> canvas) : canvas_(std::move(canvas)) {}
  Rect extent() const override { return Rect::make(0, 0, canvas_->width, canvas_->height); }
  void render(const coreimage::TileView& out) const override {
    const coreimage::PixelRect domain = out.rect.intersection({0, 0, canvas_->width, canvas_->height});
    coreimage::clearOutside(out, domain);
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      float* px = out.pixel(domain.x, y);
      for (std::int64_t x = domain.x; x < domain.maxX(); ++x, px += 4) {
        const std::uint8_t a = canvas_->at(static_cast<int>(x), static_cast<int>(y));
        const float colour = a ? 1.0f : 0.0f;
        px[0] = px[1] = px[2] = colour;
        px[3] = coreimage::componentOfByte(a);
      }
    }
  }

 private:
  std::shared_ptr<const CoverageCanvas> canvas_;
};

}  // namespace

Image coverageImage(std::shared_ptr<const CoverageCanvas> canvas) {
  return Image(std::make_shared<CoverageImageNode>(std::move(canvas)));
}

Image maskImage(const graphics::Canvas& canvas) { return canvasMask(canvas).image; }

std::optional<Image> materialized(const Image& image, MaskSize size) {
  auto kept = materializedMask(image, size);
  if (!kept) return std::nullopt;
  return kept->image;
}

std::optional<MaterializedMask> materializedMask(const Image& image, MaskSize size) {
  const std::size_t rowBytes = static_cast<std::size_t>(size.width) * 4;
  std::shared_ptr<std::vector<std::uint8_t>> pixels;
  try {
    pixels = std::make_shared<std::vector<std::uint8_t>>(rowBytes * static_cast<std::size_t>(size.height));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  std::uint8_t* data = pixels->data();
  coreimage::render(image, {0, 0, size.width, size.height}, coreimage::PixelFormat::rgba8, data, rowBytes);
  // The renderer writes premultiplied colour; images hold straight colour.
  for (std::size_t i = 0; i < pixels->size(); i += 4) {
    const unsigned a = data[i + 3];
    if (a == 255) continue;
    // White (colour equal to alpha) comes back as 255 without a division.
    for (std::size_t k = 0; k < 3; ++k)
      data[i + k] = data[i + k] == a ? (a ? 255 : 0)
                                     : static_cast<std::uint8_t>(std::min(255u, (data[i + k] * 255u + a / 2) / a));
  }
  return MaterializedMask{Image::fromPixels(pixels, data, size.width, size.height, 8, rowBytes), pixels};
}

std::optional<Image> placeOverPicture(const Image& mask, MaskSize size, const Rect& extent) {
  const coreimage::Affine placement =
      coreimage::Affine::scale(extent.width() / size.width, extent.height() / size.height)
          .then(coreimage::Affine::translation(extent.minX, extent.minY));
  Image placed = mask.transformed(placement);
  if (placed.isEmpty()) return std::nullopt;
  return placed.cropped(extent);
}

CoverageBlocks::CoverageBlocks(MaskSize size, const Rect& extent)
    : size_(size), extent_(extent), columns_((size.width + kBlock - 1) / kBlock),
      rows_((size.height + kBlock - 1) / kBlock) {}

std::optional<CoverageBlocks> CoverageBlocks::of(const Image& mask, MaskSize size, const Rect& extent) {
  CoverageBlocks blocks(size, extent);
  // Per block: whether some pixel has colour, and whether some has alpha.
  std::vector<std::uint8_t> colour(static_cast<std::size_t>(blocks.columns_) * blocks.rows_, 0), alpha(colour);
  try {
    for (int y0 = 0; y0 < size.height; y0 += kBlock) {
      const int h = std::min(kBlock, size.height - y0);
      const std::vector<float> strip = coreimage::renderFloat(mask, {0, y0, size.width, h});
      const std::size_t row = static_cast<std::size_t>(y0 / kBlock) * blocks.columns_;
      for (std::size_t i = 0; i < strip.size(); i += 4) {
        const std::size_t block = row + (i / 4) % static_cast<std::size_t>(size.width) / kBlock;
        if (strip[i] != 0 || strip[i + 1] != 0 || strip[i + 2] != 0) colour[block] = 1;
        if (strip[i + 3] != 0) alpha[block] = 1;
      }
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  blocks.markUsed(colour, alpha);
  return blocks;
}

template <typename Colour, typename Alpha>
CoverageBlocks CoverageBlocks::fromBytes(MaskSize size, const Rect& extent, std::size_t pixelBytes, Colour colour,
                                         Alpha alpha) {
  CoverageBlocks blocks(size, extent);
  std::vector<std::uint8_t> hasColour(static_cast<std::size_t>(blocks.columns_) * blocks.rows_, 0), hasAlpha(hasColour);
  const std::size_t rowBytes = static_cast<std::size_t>(size.width) * pixelBytes;
  // Bands of whole block rows: each band writes its own flags.
  static_assert(kBandRows % kBlock == 0);
  forEachRowBand(size.height, [&](int first, int end) {
    for (int y = first; y < end; ++y) {
      // Rows top first; blocks count from the bottom.
      std::size_t offset = static_cast<std::size_t>(size.height - 1 - y) * rowBytes;
      const std::size_t row = static_cast<std::size_t>(y / kBlock) * blocks.columns_;
      for (int x = 0; x < size.width; ++x, offset += pixelBytes) {
        const std::size_t block = row + static_cast<std::size_t>(x / kBlock);
        if (colour(offset)) hasColour[block] = 1;
        if (alpha(offset)) hasAlpha[block] = 1;
      }
    }
  });
  blocks.markUsed(hasColour, hasAlpha);
  return blocks;
}

CoverageBlocks CoverageBlocks::of(const MaterializedMask& mask, MaskSize size, const Rect& extent) {
  const std::uint8_t* px = mask.pixels->data();
  return fromBytes(
      size, extent, 4, [px](std::size_t i) { return (px[i] | px[i + 1] | px[i + 2]) != 0; },
      [px](std::size_t i) { return px[i + 3] != 0; });
}

CoverageBlocks CoverageBlocks::of(const CoverageCanvas& canvas, const Rect& extent) {
  const std::uint8_t* a = canvas.alpha.data();
  auto covered = [a](std::size_t i) { return a[i] != 0; };
  return fromBytes({canvas.width, canvas.height}, extent, 1, covered, covered);
}

// A block counts when it and its neighbours hold both colour and alpha: the
// resampler reaches a couple of mask pixels into the next block, and a
// neighbourhood whose colour is all zero, or whose alpha is, gives a
// stretched mask of zero whichever way the resampler weighs it.
void CoverageBlocks::markUsed(const std::vector<std::uint8_t>& colour, const std::vector<std::uint8_t>& alpha) {
  used_.assign(colour.size(), 0);
  auto any = [&](const std::vector<std::uint8_t>& v, int bx, int by) {
    for (int y = std::max(by - 1, 0); y <= std::min(by + 1, rows_ - 1); ++y)
      for (int x = std::max(bx - 1, 0); x <= std::min(bx + 1, columns_ - 1); ++x)
        if (v[static_cast<std::size_t>(y) * columns_ + x]) return true;
    return false;
  };
  for (int by = 0; by < rows_; ++by)
    for (int bx = 0; bx < columns_; ++bx)
      used_[static_cast<std::size_t>(by) * columns_ + bx] = any(colour, bx, by) && any(alpha, bx, by);
}

bool CoverageBlocks::touches(const coreimage::PixelRect& rect) const {
  // Picture pixels to mask pixels, with a margin for the resampler's reach.
  const double sx = size_.width / extent_.width(), sy = size_.height / extent_.height();
  constexpr double kReach = 4;
  auto blockOf = [](double v, int count) {
    return static_cast<int>(std::clamp(std::floor(v / kBlock), -1.0, static_cast<double>(count)));
  };
  const int x0 = blockOf((double(rect.x) - extent_.minX) * sx - kReach, columns_);
  const int x1 = blockOf((double(rect.maxX()) - extent_.minX) * sx + kReach, columns_);
  const int y0 = blockOf((double(rect.y) - extent_.minY) * sy - kReach, rows_);
  const int y1 = blockOf((double(rect.maxY()) - extent_.minY) * sy + kReach, rows_);
  for (int y = std::max(y0, 0); y <= std::min(y1, rows_ - 1); ++y)
    for (int x = std::max(x0, 0); x <= std::min(x1, columns_ - 1); ++x)
      if (used_[static_cast<std::size_t>(y) * columns_ + x]) return true;
  return false;
}

Image limitedToCoverage(const Image& source, const Image& effect, std::optional<CoverageBlocks> coverage) {
  if (!coverage) return effect;
  return Image(std::make_shared<CoverageLimitedNode>(source.node(), effect.node(), std::move(*coverage)));
}

std::optional<Image> filtered(const char* name, const Parameters& parameters) {
  auto filter = coreimage::Filter::named(name);
  if (!filter) return std::nullopt;
  for (const auto& [key, value] : parameters) filter->setValue(key, value);
  return filter->outputImage();
}

std::optional<Image> blurredWithinExtent(const Image& image, double radius, const Rect& extent) {
  auto out = filtered("CIGaussianBlur", {{coreimage::kInputImageKey, image.clampedToExtent()},
                                         {coreimage::kInputRadiusKey, radius}});
  if (!out) return std::nullopt;
  return out->cropped(extent);
}

void applyLocalEffects(RenderState& state) {
  const auto& option = settings().localEffects;
  if (!option) return;
  const std::vector<LocalEffect> effects = readLocalEffects(*option);
  if (effects.empty()) return;
  const Rect extent = state.image.extent().integral();
  if (extent.isEmpty() || extent.isInfinite()) return;
  const MaskSize size = coverageMaskSize(static_cast<std::int64_t>(extent.width()),
                                         static_cast<std::int64_t>(extent.height()));
  for (const LocalEffect& effect : effects) {
    if (effect.kind != "blur" && effect.kind != "scratches") continue;
    if (effect.opacity <= 0) continue;
    // The blurred picture and the scratch layers need no mask: they are made
    // beside the stamping of the strokes.
    std::future<std::optional<BlurredPicture>> blurred;
    std::future<std::optional<ScratchLayers>> layers;
    if (effect.kind == "blur")
      blurred = startEarly([&] { return blurredPictureParts(state.image, blurSigma(effect, extent), extent); });
    else
      layers = startEarly([&] { return drawScratchLayers(effect, size); });
    auto canvas = rasterizeStrokes(effect, size);
    if (!canvas) continue;
    // Feathering at the mask's resolution: the radius is the same fraction
    // of the shorter side.
    const double feather = effect.feather * size.shorter();
    if (feather > 0)
      if (auto soft = featheredCanvas(*canvas, feather)) canvas = std::move(soft);
    if (effect.kind == "blur") {
      applyBlur(state, effect, std::make_shared<const CoverageCanvas>(std::move(*canvas)), size, extent, blurred.get());
      continue;
    }
    const MaterializedMask mask = canvasMask(*canvas);
    canvas.reset();
      applyScratches(state, effect, mask, size, std::move(layers));
  }
}

}  // namespace tonesmith
