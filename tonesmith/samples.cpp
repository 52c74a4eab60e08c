// Pixel sampling of reduced copies, the sRGB transfer curves, percentiles,
// the negative samples file and the automatic film-base estimate.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "colour.h"
#include "files.h"

namespace tonesmith {
namespace {

double luminance(const RGBSample& s) { return 0.2126 * s.r + 0.7152 * s.g + 0.0722 * s.b; }

// A stored component: NaN becomes 0, the rest is clamped to [0, 1].
double unitValue(double v) { return v > 0 ? (v < 1 ? v : 1) : 0; }

float floatAt(const std::uint8_t* p) {
  std::uint32_t bits = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                       static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

void appendFloat(std::string& out, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((bits >> (8 * k)) & 0xFF));
}

}  // namespace

double srgbToLinear(double v) {
  if (!(v > 0)) return 0;
  if (v > 1) v = 1;
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double v) {
  v = unitValue(v);
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

double percentileOfSorted(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  auto index = static_cast<std::size_t>(clamp(p, 0, 1) * static_cast<double>(sorted.size() - 1));
  return sorted[std::min(index, sorted.size() - 1)];
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return percentileOfSorted(values, p);
}

std::optional<RGBSample> medianRGB(const std::vector<RGBSample>& samples) {
  if (samples.empty()) return std::nullopt;
  std::vector<double> r, g, b;
  for (const auto& s : samples) r.push_back(s.r), g.push_back(s.g), b.push_back(s.b);
  return RGBSample{percentile(r, 0.5), percentile(g, 0.5), percentile(b, 0.5)};
}

namespace {

InputReducer& inputReducer() {
  static InputReducer reducer;
  return reducer;
}

// The copy's size: the longer side scaled to maxEdge, never enlarged.
std::optional<std::pair<std::int64_t, std::int64_t>> reducedSize(const coreimage::Image& image, double maxEdge,
                                                                 double& scale) {
  coreimage::Rect e = image.extent().integral();
  if (image.isEmpty() || e.isInfinite() || e.width() < 1 || e.height() < 1) return std::nullopt;
  scale = std::min(maxEdge / std::max(e.width(), e.height()), 1.0);
  return std::pair{std::max<std::int64_t>(1, static_cast<std::int64_t>(e.width() * scale)),
                   std::max<std::int64_t>(1, static_cast<std::int64_t>(e.height() * scale))};
}

}  // namespace

void setInputReducer(InputReducer reducer) { inputReducer() = std::move(reducer); }

ReducedCopy reducedInputCopy(const coreimage::Image& input, double maxEdge) {
  double scale = 1;
  auto size = reducedSize(input, maxEdge, scale);
  if (size && scale < 1 && inputReducer())
    if (auto copy = inputReducer()(size->first, size->second);
        copy && copy->width == size->first && copy->height == size->second &&
        copy->pixels.size() == static_cast<std::size_t>(copy->width * copy->height) * 4)
      return std::move(*copy);
  return reducedCopy(input, maxEdge);
}

ReducedCopy reducedCopy(const coreimage::Image& image, double maxEdge) {
  ReducedCopy copy;
  double scale = 1;
  auto size = reducedSize(image, maxEdge, scale);
  if (!size) return copy;
  copy.width = size->first;
  copy.height = size->second;
  coreimage::Image scaled = image;
  if (scale < 1) {
    auto filter = coreimage::Filter::named("CILanczosScaleTransform");
    if (filter) {
      filter->setValue(coreimage::kInputImageKey, image);
      filter->setValue(coreimage::kInputScaleKey, scale);
      filter->setValue(coreimage::kInputAspectRatioKey, 1.0);
      if (auto out = filter->outputImage()) scaled = *out;
    }
  }
  // renderFloat gives rows bottom first; the copy keeps them top first.
  std::vector<float> up = coreimage::renderFloat(scaled, {0, 0, copy.width, copy.height});
  const auto rowFloats = static_cast<std::size_t>(copy.width) * 4;
  copy.pixels.resize(up.size());
  for (std::int64_t y = 0; y < copy.height; ++y)
    std::memcpy(copy.pixels.data() + static_cast<std::size_t>(y) * rowFloats,
                up.data() + static_cast<std::size_t>(copy.height - 1 - y) * rowFloats, rowFloats * sizeof(float));
  return copy;
}

std::vector<RGBSample> samplesInside(const ReducedCopy& copy, const std::optional<NormalizedRect>& normalizedRect) {
  std::vector<RGBSample> out;
  const std::int64_t w = copy.width, h = copy.height;
  if (w < 1 || h < 1) return out;
  NormalizedRect rect = normalizedRect.value_or(NormalizedRect{});
  auto cell = [](double v) { return static_cast<std::int64_t>(clamp(v, -1e15, 1e15)); };
  std::int64_t x0 = std::clamp<std::int64_t>(cell(rect.x * static_cast<double>(w)), 0, w - 1);
  std::int64_t x1 = std::max(std::min(cell((rect.x + rect.width) * static_cast<double>(w)), w), x0 + 1);
  std::int64_t y0 = std::clamp<std::int64_t>(cell((1 - (rect.y + rect.height)) * static_cast<double>(h)), 0, h - 1);
  std::int64_t y1 = std::max(std::min(cell((1 - rect.y) * static_cast<double>(h)), h), y0 + 1);
  out.reserve(static_cast<std::size_t>((x1 - x0) * (y1 - y0)));
  for (std::int64_t y = y0; y < y1; ++y)
    for (std::int64_t x = x0; x < x1; ++x) {
      const float* px = copy.pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                              static_cast<std::size_t>(x)) * 4;
      out.push_back({unitValue(px[0]), unitValue(px[1]), unitValue(px[2])});
    }
  return out;
}

std::vector<RGBSample> rgbSamples(const coreimage::Image& image, const std::optional<NormalizedRect>& rect,
                                  double maxEdge) {
  return samplesInside(reducedCopy(image, maxEdge), rect);
}

std::optional<NegativeSamples> parseNegativeSamples(const std::uint8_t* bytes, std::size_t size) {
  if (size <= 7 || size % 4 != 0) return std::nullopt;
  const std::size_t count = size / 4;
  std::size_t index = 0;
  NegativeSamples result;
  for (auto* block : {&result.samples, &result.edgeSamples}) {
    if (index >= count) return std::nullopt;
    double n = std::trunc(static_cast<double>(floatAt(bytes + index * 4)));
    // Checked as a real number first, so a huge count is never converted
    // or used to size anything.
    if (!std::isfinite(n) || n < 0 || static_cast<double>(index) + 1 + 3 * n > static_cast<double>(count))
      return std::nullopt;
    const auto triples = static_cast<std::size_t>(n);
    ++index;
    block->reserve(triples);
    for (std::size_t t = 0; t < triples; ++t, index += 3) {
      const std::uint8_t* p = bytes + index * 4;
      // Stored values are components in [0, 1]; anything else (NaN,
      // infinities) is brought into range so the statistics stay defined.
      block->push_back({unitValue(floatAt(p)), unitValue(floatAt(p + 4)), unitValue(floatAt(p + 8))});
    }
  }
  if (result.samples.empty()) return std::nullopt;
  return result;
}

std::optional<NegativeSamples> loadNegativeSamples(const std::string& path) {
  std::string bytes;
  if (!files::readFile(path, bytes)) return std::nullopt;
  return parseNegativeSamples(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string encodeNegativeSamples(const std::vector<RGBSample>& samples, const std::vector<RGBSample>& edgeSamples) {
  std::string out;
  out.reserve(4 * (2 + 3 * (samples.size() + edgeSamples.size())));
  for (const auto* block : {&samples, &edgeSamples}) {
    appendFloat(out, static_cast<float>(block->size()));
    for (const auto& s : *block) {
      appendFloat(out, static_cast<float>(s.r));
      appendFloat(out, static_cast<float>(s.g));
      appendFloat(out, static_cast<float>(s.b));
    }
  }
  return out;
}

bool writeNegativeSamples(const std::string& path, const std::vector<RGBSample>& samples,
                          const std::vector<RGBSample>& edgeSamples) {
  std::string bytes = encodeNegativeSamples(samples, edgeSamples);
  return static_cast<bool>(files::writeFileAtomically(path, bytes.data(), bytes.size()));
}

RGBSample robustAutomaticFilmBase(const std::vector<RGBSample>& edgeSamples, RGBSample fallback) {
  if (edgeSamples.size() < 64) return fallback;
  std::vector<RGBSample> sorted = edgeSamples;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const RGBSample& a, const RGBSample& b) { return luminance(a) > luminance(b); });
  const std::size_t k = sorted.size() <= 64 ? 16 : sorted.size() / 4;
  sorted.resize(k);
  RGBSample med = *medianRGB(sorted);
  double largestSpread = 0;
  for (double RGBSample::*channel : {&RGBSample::r, &RGBSample::g, &RGBSample::b}) {
    std::vector<double> values;
    for (const auto& s : sorted) values.push_back(s.*channel);
    largestSpread = std::max(largestSpread, percentile(values, 0.9) - percentile(values, 0.1));
  }
  if (largestSpread < 0.22 && med.r > 0.08 && med.g > 0.08 && med.b > 0.04) return med;
  return fallback;
}

}  // namespace tonesmith
