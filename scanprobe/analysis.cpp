// The scan's measures: interior statistics and percentiles, the negative
// decision, the frame (from the rectangle detector or the luminance box) and
// the report.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "json.h"
#include "scanprobe.h"

namespace scanprobe {

namespace {

// A decimal integer: an optional sign and digits only, within 64 bits.
std::optional<std::int64_t> decimalInteger(const std::string& text) {
  std::size_t start = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    start = 1;
  }
  if (start == text.size()) return std::nullopt;
  std::uint64_t magnitude = 0;
  const char* first = text.data() + start;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, magnitude);
  if (error != std::errc() || end != last) return std::nullopt;
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  if (!negative) return static_cast<std::int64_t>(magnitude);
  return magnitude == limit ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

double luminance(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

}  // namespace

std::optional<Settings> parseArguments(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  Settings settings;
  settings.inputPath = arguments[0];
  const auto option = std::find(arguments.begin(), arguments.end(), "--max-edge");
  if (option != arguments.end() && option + 1 != arguments.end())
    if (const auto n = decimalInteger(*(option + 1))) settings.maxEdge = std::max(*n, smallestMaxEdge);
  return settings;
}

std::optional<Bitmap> rasterise(imageio::Raster&& thumbnail) {
  const std::int64_t width = thumbnail.width, height = thumbnail.height;
  if (width < 1 || height < 1) return std::nullopt;
  const auto pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (pixels > std::numeric_limits<std::size_t>::max() / 8) return std::nullopt;
  const std::size_t count = static_cast<std::size_t>(pixels);
  if (thumbnail.data.size() != count * thumbnail.bytesPerPixel()) return std::nullopt;

  Bitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.pixels = std::move(thumbnail.data);
  std::uint8_t* out = bitmap.pixels.data();
  auto premultiplied = [](unsigned value, unsigned alpha) {
    return static_cast<std::uint8_t>((value * alpha + 127) / 255);
  };
  if (thumbnail.bitsPerComponent == 16) {
    // Narrowed in place: pixel i's 8 bytes are read before pixel i's 4
    // bytes (at half the offset) are written.
    for (std::size_t i = 0; i < count; ++i) {
      std::uint16_t wide[4];
      std::memcpy(wide, out + i * 8, sizeof wide);
      std::uint8_t narrow[4];
      for (int c = 0; c < 4; ++c) narrow[c] = static_cast<std::uint8_t>((wide[c] * 255u + 32767u) / 65535u);
      for (int c = 0; c < 3; ++c) out[i * 4 + c] = premultiplied(narrow[c], narrow[3]);
      out[i * 4 + 3] = narrow[3];
    }
    bitmap.pixels.resize(count * 4);
    bitmap.pixels.shrink_to_fit();
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* p = out + i * 4;
      if (p[3] == 255) continue;
      for (int c = 0; c < 3; ++c) p[c] = premultiplied(p[c], p[3]);
    }
  }
  return bitmap;
}

InteriorStatistics measureInterior(const Bitmap& bitmap) {
  InteriorStatistics s;
  s.insetX = static_cast<std::int64_t>(std::trunc(bitmap.width * 0.2));
  s.insetY = static_cast<std::int64_t>(std::trunc(bitmap.height * 0.2));
  for (std::int64_t y = s.insetY; y < bitmap.height - s.insetY; ++y) {
    const std::uint8_t* row = bitmap.pixels.data() + static_cast<std::size_t>(y * bitmap.width) * 4;
    for (std::int64_t x = s.insetX; x < bitmap.width - s.insetX; ++x) {
      const std::uint8_t* p = row + x * 4;
      const double r = p[0] / 255.0, g = p[1] / 255.0, b = p[2] / 255.0;
      s.sumR += r;
      s.sumG += g;
      s.sumB += b;
      const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
      s.sumSaturation += mx > 0 ? (mx - mn) / mx : 0;
      const double bin = std::clamp(luminance(r, g, b) * 255, 0.0, 255.0);
      ++s.luminanceHistogram[static_cast<std::size_t>(bin)];
      ++s.interiorCount;
    }
  }
  return s;
}

double percentile(const InteriorStatistics& statistics, double p) {
  const auto target = static_cast<std::int64_t>(std::trunc(clamp01(p) * statistics.interiorCount));
  if (target == 0) return 0;
  std::int64_t running = 0;
  for (std::size_t bin = 0; bin < statistics.luminanceHistogram.size(); ++bin) {
    running += statistics.luminanceHistogram[bin];
    if (running >= target) return bin / 255.0;
  }
  return 1;
}

NegativeEvidence judgeNegative(const InteriorStatistics& statistics) {
  NegativeEvidence e;
  const double count = static_cast<double>(statistics.interiorCount);
  const double meanR = statistics.sumR / count, meanB = statistics.sumB / count;
  e.saturation = statistics.sumSaturation / count;
  e.black = percentile(statistics, 0.005);
  e.white = percentile(statistics, 0.995);
  e.range = std::max(0.0, e.white - e.black);
  e.redToBlue = meanB > 0.02 ? meanR / meanB : meanR > 0.02 ? 4 : 1;

  const double maskScore = clamp01((e.redToBlue - 1.35) / 0.65);
  const double fogScore = clamp01((e.black - 0.1) / 0.18);
  const double compressionScore = clamp01((0.86 - e.range) / 0.3);
  const bool monochrome = e.saturation < 0.12;
  if (maskScore > 0.45 && fogScore > 0.2) {
    e.kind = "color-mask";
    e.confidence = clamp01(0.45 + 0.4 * maskScore + 0.15 * fogScore);
  } else if (monochrome && fogScore > 0.55 && compressionScore > 0.45) {
    e.kind = "bw-fog";
    e.confidence = std::clamp(0.35 + 0.35 * fogScore + 0.3 * compressionScore, 0.0, 0.9);
  } else {
    e.kind = "positive";
    e.confidence = 0;
  }
  e.isNegative = e.confidence >= 0.6;
  return e;
}

vision::RectanglesRequest frameRequest() {
  vision::RectanglesRequest request;
  request.minimumAspectRatio = 0.3f;
  request.maximumAspectRatio = 3.4f;
  request.minimumSize = 0.35f;
  request.minimumConfidence = 0.5f;
  request.maximumObservations = 8;
  request.quadratureTolerance = 25.0f;
  return request;
}

std::optional<FrameEvidence> rectangleFromVision(const std::vector<vision::RectangleObservation>& observations,
                                                 std::int64_t width, std::int64_t height) {
  const vision::RectangleObservation* largest = nullptr;
  for (const auto& o : observations)
    if (!largest || o.boundingBox.width * o.boundingBox.height >
                        largest->boundingBox.width * largest->boundingBox.height)
      largest = &o;
  if (!largest) return std::nullopt;
  const vision::Rect& box = largest->boundingBox;
  if (!(box.width > 0.3 && box.height > 0.3)) return std::nullopt;

  auto edgeAngle = [&](vision::Point from, vision::Point to) {
    return std::atan2((to.y - from.y) * static_cast<double>(height), (to.x - from.x) * static_cast<double>(width)) *
           180 / std::numbers::pi;
  };
  const double top = edgeAngle(largest->topLeft, largest->topRight);
  const double bottom = edgeAngle(largest->bottomLeft, largest->bottomRight);
  FrameEvidence frame;
  frame.found = true;
  frame.source = "vision-rectangle";
  frame.confidence = static_cast<double>(largest->confidence);
  frame.x = box.minX();
  frame.y = 1 - box.maxY();
  frame.width = box.width;
  frame.height = box.height;
  frame.angleDegrees = std::round(10 * (top + bottom) / 2) / 10;
  return frame;
}

std::optional<FrameEvidence> rectangleFromLuminance(const Bitmap& bitmap) {
  const std::int64_t width = bitmap.width, height = bitmap.height;
  auto lum = [&](std::int64_t x, std::int64_t y) {
    const std::uint8_t* p = bitmap.pixels.data() + static_cast<std::size_t>(y * width + x) * 4;
    return (0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]) / 255;
  };
  const std::int64_t shorter = std::min(width, height);
  const std::int64_t band = shorter < 80 ? 2 : shorter / 40;

  std::vector<double> samples;
  for (std::int64_t y = 0; y < height; ++y)
    if (y < band || y >= height - band)
      for (std::int64_t x = 0; x < width; x += 3) samples.push_back(lum(x, y));
  for (std::int64_t x = 0; x < width; ++x)
    if (x < band || x >= width - band)
      for (std::int64_t y = 0; y < height; y += 3) samples.push_back(lum(x, y));
  if (samples.empty()) return std::nullopt;
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  const double median = *middle;

  const bool darkBorder = median < 0.5;
  const double threshold = darkBorder ? median + 0.18 : median - 0.18;
  auto content = [&](std::int64_t x, std::int64_t y) {
    const double l = lum(x, y);
    return darkBorder ? l > threshold : l < threshold;
  };
  auto contentRow = [&](std::int64_t y) {
    std::int64_t n = 0;
    for (std::int64_t x = 0; x < width; x += 2) n += content(x, y);
    return static_cast<double>(n) > static_cast<double>(width / 2) * 0.55;
  };
  auto contentColumn = [&](std::int64_t x) {
    std::int64_t n = 0;
    for (std::int64_t y = 0; y < height; y += 2) n += content(x, y);
    return static_cast<double>(n) > static_cast<double>(height / 2) * 0.55;
  };
  std::int64_t top = 0, bottom = height - 1, left = 0, right = width - 1;
  while (top < bottom && !contentRow(top)) ++top;
  while (bottom > top && !contentRow(bottom)) --bottom;
  while (left < right && !contentColumn(left)) ++left;
  while (right > left && !contentColumn(right)) --right;

  const double wFrac = static_cast<double>(right - left + 1) / width;
  const double hFrac = static_cast<double>(bottom - top + 1) / height;
  if (wFrac <= 0.25 || hFrac <= 0.25) return std::nullopt;
  if (wFrac >= 0.99 && hFrac >= 0.99) return std::nullopt;
  FrameEvidence frame;
  frame.found = true;
  frame.source = "luminance-bbox";
  frame.confidence = 0.45;
  frame.x = static_cast<double>(left) / width;
  frame.y = static_cast<double>(top) / height;
  frame.width = wFrac;
  frame.height = hFrac;
  return frame;
}

double roundTo(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(v * scale) / scale;
}

std::optional<std::string> encodeReport(const ScanAnalysis& analysis) {
  const NegativeEvidence& n = analysis.negative;
  const FrameEvidence& f = analysis.frame;
  json::Value negative = json::Value::object();
  negative["isNegative"] = n.isNegative;
  negative["kind"] = n.kind;
  negative["confidence"] = roundTo(n.confidence, 2);
  negative["redToBlue"] = roundTo(n.redToBlue, 3);
  negative["black"] = roundTo(n.black, 3);
  negative["white"] = roundTo(n.white, 3);
  negative["range"] = roundTo(n.range, 3);
  negative["saturation"] = roundTo(n.saturation, 3);
  json::Value frame = json::Value::object();
  frame["found"] = f.found;
  frame["source"] = f.source;
  frame["confidence"] = f.confidence;
  frame["x"] = f.x;
  frame["y"] = f.y;
  frame["width"] = f.width;
  frame["height"] = f.height;
  frame["angleDegrees"] = f.angleDegrees;
  json::Value report = json::Value::object();
  report["negative"] = std::move(negative);
  report["frame"] = std::move(frame);
  report["pixelWidth"] = analysis.pixelWidth;
  report["pixelHeight"] = analysis.pixelHeight;
  return json::write(report, {json::KeyOrder::sorted});
}

}  // namespace scanprobe
