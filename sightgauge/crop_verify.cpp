// --crop-verify: whether a crop shows a window of a big picture, allowing
// for a small misplacement of the window and for a crop turned by quarter
// turns or mirrored. Both pictures are compared as grey grids of at most
// 192 × 192 samples taken from upright thumbnails of at most 512 pixels.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>

#include "sightgauge.h"

namespace sightgauge {

namespace {

constexpr std::string_view cropUsage = "Usage: sightgauge --crop-verify <big> <crop> <x> <y> <w> <h>";
constexpr std::string_view invalidWindow = "Invalid crop window or orientation";

constexpr int thumbnailSide = 512;  // both pictures are compared at this size at most
constexpr double gridSide = 192;    // the comparison grid's longer side
constexpr int minimumGridSide = 24;
constexpr int searchReach = 6;      // window offsets of -6 .. 6 pixels
constexpr int searchStep = 2;
constexpr int blockSide = 24;
constexpr float strictAgreement = 0.85f;
constexpr float looseAgreement = 0.6f;
constexpr double windowSlack = 1.001;  // windows may overshoot the far edges this much

std::optional<imageio::Raster> orientedThumbnail(const std::string& path, int maxPixel) {
  if (!imageio::initialize()) return std::nullopt;
  const auto source = imageio::Source::open(path);
  if (!source) return std::nullopt;
  try {
    auto thumbnail = source->thumbnail(maxPixel, imageio::Orientation::applied, {.maxPixels = maxPixels});
    if (!thumbnail || thumbnail->width < 1 || thumbnail->height < 1) return std::nullopt;
    return thumbnail;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::vector<float> asSamples(const std::vector<std::uint8_t>& levels) {
  return std::vector<float>(levels.begin(), levels.end());
}

// Copies the block of side blockSide at (top, left) of a grid `width` wide.
void takeBlock(const std::vector<float>& grid, int width, int top, int left, std::vector<float>& block) {
  block.clear();
  for (int row = top; row < top + blockSide; ++row) {
    const float* start = grid.data() + static_cast<std::size_t>(row) * width + left;
    block.insert(block.end(), start, start + blockSide);
  }
}

}  // namespace

std::optional<double> readDouble(std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  const std::string copy(text);
  if (copy.find('\0') != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

int readRotation(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return -1;
  value = negative ? -value : value;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(value);
}

std::optional<CropRequest> readCropArguments(const std::vector<std::string>& args) {
  if (args.size() != 7 && args.size() != 9) return std::nullopt;
  CropRequest request;
  request.big = args[1];
  request.crop = args[2];
  const auto x = readDouble(args[3]), y = readDouble(args[4]), w = readDouble(args[5]), h = readDouble(args[6]);
  if (!x || !y || !w || !h) return std::nullopt;
  request.x = *x;
  request.y = *y;
  request.w = *w;
  request.h = *h;
  if (args.size() == 9) {
    request.rotation = readRotation(args[7]);
    request.mirrored = args[8] == "1";
  }
  return request;
}

bool windowValid(const CropRequest& r) {
  if (r.rotation != 0 && r.rotation != 90 && r.rotation != 180 && r.rotation != 270) return false;
  if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.w) || !std::isfinite(r.h)) return false;
  return r.x >= 0 && r.y >= 0 && r.w > 0 && r.h > 0 && r.x + r.w <= windowSlack && r.y + r.h <= windowSlack;
}

std::pair<int, int> comparisonGrid(double windowWidth, double windowHeight) {
  const double aspect = windowWidth / windowHeight;
  if (aspect >= 1)
    return {static_cast<int>(gridSide), std::max(minimumGridSide, static_cast<int>(std::round(gridSide / aspect)))};
  return {std::max(minimumGridSide, static_cast<int>(std::round(gridSide * aspect))), static_cast<int>(gridSide)};
}

std::optional<std::vector<float>> alignedGrayPixels(const imageio::Raster& image, int width, int height,
                                                    int rotation, bool mirrored) {
  if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) return std::nullopt;
  const int cw = width, ch = height;
  const bool turned = rotation == 90 || rotation == 270;
  const int sw = turned ? ch : cw, sh = turned ? cw : ch;
  const auto source = drawGrey(image, {0, 0, image.width, image.height}, sw, sh);
  if (!source) return std::nullopt;
  std::vector<float> out(static_cast<std::size_t>(cw) * ch);
  for (int i = 0; i < ch; ++i) {
    for (int j = 0; j < cw; ++j) {
      const int f = mirrored ? cw - 1 - j : j;
      int x = f, y = i;
      if (rotation == 90) {
        x = i;
        y = cw - 1 - f;
      } else if (rotation == 180) {
        x = cw - 1 - f;
        y = ch - 1 - i;
      } else if (rotation == 270) {
        x = sw - 1 - i;
        y = f;
      }
      out[static_cast<std::size_t>(i) * cw + j] = (*source)[static_cast<std::size_t>(y) * sw + x];
    }
  }
  return out;
}

std::optional<float> correlation(const float* a, const float* b, std::size_t count) {
  if (count == 0) return std::nullopt;
  const float n = static_cast<float>(count);
  float sumA = 0, sumB = 0;
  for (std::size_t k = 0; k < count; ++k) {
    sumA += a[k];
    sumB += b[k];
  }
  const float meanA = sumA / n, meanB = sumB / n;
  float va = 0, vb = 0, cov = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const float da = a[k] - meanA, db = b[k] - meanB;
    va += da * da;
    vb += db * db;
    cov += da * db;
  }
  // A standard deviation under 2 grey levels: too flat to compare.
  if (va < 4 * n || vb < 4 * n) return std::nullopt;
  return cov / std::sqrt(va * vb);
}

std::optional<CropVerdict> compareCrop(const imageio::Raster& big, const imageio::Raster& crop,
                                       const CropRequest& request) {
  const double bigWidth = static_cast<double>(big.width), bigHeight = static_cast<double>(big.height);
  const Rect window{request.x * bigWidth, request.y * bigHeight, request.w * bigWidth, request.h * bigHeight};
  const auto [cw, ch] = comparisonGrid(window.width, window.height);
  const auto cropPixels = alignedGrayPixels(crop, cw, ch, request.rotation, request.mirrored);
  if (!cropPixels) return std::nullopt;

  CropVerdict verdict;
  std::vector<float> best;
  for (int dy = -searchReach; dy <= searchReach; dy += searchStep) {
    for (int dx = -searchReach; dx <= searchReach; dx += searchStep) {
      const PixelRect region =
          integralInside({window.x + dx, window.y + dy, window.width, window.height}, big.width, big.height);
      if (region.empty()) continue;
      const auto levels = drawGrey(big, region, cw, ch);
      if (!levels) continue;
      std::vector<float> samples = asSamples(*levels);
      const auto value = correlation(cropPixels->data(), samples.data(), samples.size());
      if (!value) continue;
      if (!verdict.matched || *value > verdict.ncc) {
        verdict.matched = true;
        verdict.ncc = *value;
        best = std::move(samples);
      }
    }
  }
  if (!verdict.matched) return verdict;

  int blocks = 0, strict = 0, loose = 0;
  std::vector<float> cropBlock, windowBlock;
  for (int top = 0; top + blockSide <= ch; top += blockSide) {
    for (int left = 0; left + blockSide <= cw; left += blockSide) {
      ++blocks;
      takeBlock(*cropPixels, cw, top, left, cropBlock);
      takeBlock(best, cw, top, left, windowBlock);
      const auto value = correlation(cropBlock.data(), windowBlock.data(), cropBlock.size());
      if (!value) {
        // Flat in either grid: nothing to disagree about.
        ++strict;
        ++loose;
        continue;
      }
      if (*value >= strictAgreement) ++strict;
      if (*value >= looseAgreement) ++loose;
      verdict.worstBlock = std::min(verdict.worstBlock, *value);
    }
  }
  if (blocks > 0) {
    verdict.blockAgreement = static_cast<double>(strict) / blocks;
    verdict.blockAgreementLoose = static_cast<double>(loose) / blocks;
  }
  return verdict;
}

namespace {

template <typename Number>
std::string formatShortest(Number value, Number exponentFrom) {
  char text[64];
  const Number magnitude = std::abs(value);
  const bool exponent = magnitude != 0 && (magnitude < Number(0.0001) || magnitude >= exponentFrom);
  const auto result = std::to_chars(text, text + sizeof text, value,
                                    exponent ? std::chars_format::scientific : std::chars_format::fixed);
  std::string out(text, result.ptr);
  if (!exponent && out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace

// Exponent form also for magnitudes beyond the type's exact integers.
std::string formatNumber(float value) { return formatShortest(value, 16777216.0f); }
std::string formatNumber(double value) { return formatShortest(value, 9007199254740992.0); }

std::string verdictLine(const CropVerdict& verdict) {
  if (!verdict.matched) return R"({"ncc":0,"blockAgreement":0,"worstBlock":0})";
  return "{\"ncc\":" + formatNumber(verdict.ncc) + ",\"blockAgreement\":" + formatNumber(verdict.blockAgreement) +
         ",\"blockAgreementLoose\":" + formatNumber(verdict.blockAgreementLoose) +
         ",\"worstBlock\":" + formatNumber(verdict.worstBlock) + "}";
}

void verifyCrop(const std::vector<std::string>& args) {
  const auto request = readCropArguments(args);
  if (!request) fail(cropUsage);
  // The two pictures decode at the same time, one on a helper thread.
  auto pendingCrop = std::async(std::launch::async, [&] { return orientedThumbnail(request->crop, thumbnailSide); });
  const auto big = orientedThumbnail(request->big, thumbnailSide);
  const auto crop = pendingCrop.get();
  if (!big || !crop) fail(cropUsage);
  if (!windowValid(*request)) fail(invalidWindow);
  const auto verdict = compareCrop(*big, *crop, *request);
  if (!verdict) fail("Cannot read crop");
  writeOutput(verdictLine(*verdict));
  std::exit(0);
}

}  // namespace sightgauge
