// Print layout at physical size: the finished picture cropped (cover) or
// fitted (contain) into a frame, optionally inside a mat, at the finest
// resolution its pixels allow, resampled with Lanczos only. A layout that
// would enlarge the picture, or fall back to a lesser scaler, is refused.
#include "print_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "tonesmith.h"

namespace tonesmith {
namespace {

constexpr double kCmPerInch = 2.54;

double number(const json::Value& object, const char* key, double fallback) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return fallback;
  double v = it->get<double>();
  return std::isfinite(v) ? v : fallback;
}

std::string text(const json::Value& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Rounded down, except that a value a hair below an integer counts as that
// integer: 24 / 2.54 × 635 is 6000 however the division rounds.
double wholeDown(double v) { return std::floor(v + 1e-6); }

// wholeDown, kept at least 1 and within a range that converts safely.
std::int64_t wholePixels(double v) { return static_cast<std::int64_t>(std::clamp(wholeDown(v), 1.0, 1e15)); }

}  // namespace

MatColour parseMatColour(std::string t) {
  for (char& c : t)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (!t.empty() && t.front() == '#') t.erase(0, 1);
  MatColour colour;
  if (t.size() != 6 || !std::all_of(t.begin(), t.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return colour;
  unsigned long v = std::stoul(t, nullptr, 16);
  colour.color = {static_cast<float>((v >> 16) & 255) / 255.0f, static_cast<float>((v >> 8) & 255) / 255.0f,
                  static_cast<float>(v & 255) / 255.0f, 1};
  colour.text = "#" + t;
  return colour;
}

PrintLayoutRequest readPrintLayout(const json::Value& object) {
  PrintLayoutRequest r;
  r.widthCm = clamp(number(object, "widthCm", 0), 5, 200);
  r.heightCm = clamp(number(object, "heightCm", 0), 5, 200);
  r.mat = text(object, "layout") == "mat";
  auto fit = object.find("fit");
  r.contain = fit != object.end() && fit->is_string() && fit->get<std::string>() == "contain";
  if (r.mat) {
    MatColour colour = parseMatColour(text(object, "marginColor"));
    r.marginColor = colour.color;
    r.marginColorText = colour.text;
  }
  r.cropScale = r.contain ? 1 : clamp(number(object, "cropScale", 1), 1, 4);
  r.marginCm = r.mat ? clamp(number(object, "marginCm", 0), 0, std::max((std::min(r.widthCm, r.heightCm) - 1) * 0.5, 0.0))
                     : 0;
  r.maxDpi = clamp(number(object, "maxDpi", 1200), 1, 1200);
  r.cropX = clamp(number(object, "cropX", 0.5), 0, 1);
  r.cropY = clamp(number(object, "cropY", 0.5), 0, 1);
  return r;
}

PrintLayoutFigures printLayoutFigures(const PrintLayoutRequest& r, double ow, double oh) {
  PrintLayoutFigures f;
  const double m = r.marginCm;
  const double iw = std::max(r.widthCm - 2 * m, 1.0), ih = std::max(r.heightCm - 2 * m, 1.0);

  const coreimage::Rect whole = coreimage::Rect::make(0, 0, ow, oh);
  f.sourceCrop = whole;
  if (!r.contain) {
    const double a = iw / ih;
    double cw = ow, ch = ow / a;
    if (a < ow / oh) {
      cw = a * oh;
      ch = oh;
    }
    cw /= r.cropScale;
    ch /= r.cropScale;
    const double x = r.cropX * (ow - cw), y = oh - r.cropY * (oh - ch) - ch;
    f.sourceCrop = coreimage::Rect::make(x, y, cw, ch).integral().intersection(whole);
  }
  f.sourceWidth = f.sourceCrop.width();
  f.sourceHeight = f.sourceCrop.height();
  const double sw = f.sourceWidth, sh = f.sourceHeight;

  if (r.contain) {
    const double s = std::min(ih / oh, iw / ow);
    f.printedWidthCm = ow * s;
    f.printedHeightCm = oh * s;
  } else {
    f.printedWidthCm = iw;
    f.printedHeightCm = ih;
  }
  const double pw = f.printedWidthCm, ph = f.printedHeightCm;

  const double finest = std::min({r.maxDpi, sw / (pw / kCmPerInch), sh / (ph / kCmPerInch)});
  f.dpi = finest >= 1 ? static_cast<std::int64_t>(wholeDown(finest)) : 1;
  const double dpi = static_cast<double>(f.dpi);

  f.canvasWidth = wholePixels(r.widthCm / kCmPerInch * dpi);
  f.canvasHeight = wholePixels(r.heightCm / kCmPerInch * dpi);
  f.photoWidth = wholePixels(pw / kCmPerInch * dpi);
  f.photoHeight = wholePixels(ph / kCmPerInch * dpi);
  f.photoSourceWidth = static_cast<std::int64_t>(std::floor(sw));
  f.photoSourceHeight = static_cast<std::int64_t>(std::floor(sh));

  const auto mp = static_cast<std::int64_t>(std::round(m / kCmPerInch * dpi));
  const std::int64_t innerWidth = wholePixels(iw / kCmPerInch * dpi), innerHeight = wholePixels(ih / kCmPerInch * dpi);
  f.offsetX = mp + (innerWidth >= f.photoWidth ? (innerWidth - f.photoWidth) / 2 : 0);
  f.offsetY = mp + (innerHeight >= f.photoHeight ? (innerHeight - f.photoHeight) / 2 : 0);
  return f;
}

json::Value printLayoutReport(const PrintLayoutRequest& r, const PrintLayoutFigures& f) {
  json::Value report = json::Value::object();
  report["dpi"] = f.dpi;
  report["photoWidth"] = f.photoWidth;
  report["photoHeight"] = f.photoHeight;
  report["photoSourceWidth"] = f.photoSourceWidth;
  report["photoSourceHeight"] = f.photoSourceHeight;
  report["frameWidthCm"] = r.widthCm;
  report["frameHeightCm"] = r.heightCm;
  report["layout"] = r.mat ? "mat" : "bleed";
  report["marginCm"] = r.marginCm;
  report["marginColor"] = r.mat ? r.marginColorText : "#ffffff";
  report["fit"] = r.contain ? "contain" : "cover";
  report["cropScale"] = r.cropScale;
  report["cropX"] = r.cropX;
  report["cropY"] = r.cropY;
  return report;
}

std::optional<json::Value> applyPrintLayout(RenderState& state) {
  const auto& option = settings().printLayout;
  if (!option || !option->is_object()) return std::nullopt;
  const PrintLayoutRequest request = readPrintLayout(*option);

  const coreimage::Rect source = state.image.extent().integral();
  if (state.image.isEmpty() || source.isInfinite() || !(source.width() >= 1 && source.height() >= 1))
    fail("Print source is empty");
  coreimage::Image picture = state.image.cropped(source).movedToOrigin();
  const PrintLayoutFigures f = printLayoutFigures(request, source.width(), source.height());
  if (!request.contain) picture = picture.cropped(f.sourceCrop).movedToOrigin();

  if (f.photoSourceWidth < f.photoWidth || f.photoSourceHeight < f.photoHeight)
    fail("Print layout would upscale image content");

  const double sw = f.sourceWidth, sh = f.sourceHeight;
  const double pw = static_cast<double>(f.photoWidth), ph = static_cast<double>(f.photoHeight);
  if (std::fabs(pw / sw - 1) > 0.000001 || std::fabs(ph / sh - 1) > 0.000001) {
    auto lanczos = coreimage::Filter::named("CILanczosScaleTransform");
    if (!lanczos) fail("Lanczos print filter is unavailable; refusing a lower-quality print render");
    lanczos->setValue(coreimage::kInputImageKey, picture);
    lanczos->setValue(coreimage::kInputScaleKey, ph / sh);
    lanczos->setValue(coreimage::kInputAspectRatioKey, (pw / sw) / (ph / sh));
    auto scaled = lanczos->outputImage();
    if (!scaled) fail("Lanczos print downscale failed; refusing a lower-quality print render");
    picture = scaled->cropped(coreimage::Rect::make(0, 0, pw, ph));
  }

  const coreimage::Rect canvas =
      coreimage::Rect::make(0, 0, static_cast<double>(f.canvasWidth), static_cast<double>(f.canvasHeight));
  coreimage::Image mat = coreimage::Image::constantColor(request.mat ? request.marginColor : coreimage::Color{1, 1, 1, 1})
                             .cropped(canvas);
  coreimage::Image placed = picture.translated(static_cast<double>(f.offsetX), static_cast<double>(f.offsetY));
  auto over = coreimage::Filter::named("CISourceOverCompositing");
  std::optional<coreimage::Image> laidOut;
  if (over) {
    over->setValue(coreimage::kInputImageKey, placed);
    over->setValue(coreimage::kInputBackgroundImageKey, mat);
    laidOut = over->outputImage();
  }
  state.image = (laidOut ? *laidOut : placed).cropped(canvas);
  return printLayoutReport(request, f);
}

}  // namespace tonesmith
