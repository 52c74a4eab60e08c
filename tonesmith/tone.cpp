// Brightness, linear and adaptive contrast, the tone measurement, and
// saturation.
#include <algorithm>
#include <cmath>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

using coreimage::Vector;

void applyGainAndBias(RenderState& state, double gain, double bias) {
  applyFilter(state, "CIColorMatrix",
              {{"inputRVector", Vector{{gain, 0, 0, 0}}},
               {"inputGVector", Vector{{0, gain, 0, 0}}},
               {"inputBVector", Vector{{0, 0, gain, 0}}},
               {"inputAVector", Vector{{0, 0, 0, 1}}},
               {"inputBiasVector", Vector{{bias, bias, bias, 0}}}});
}

void applyColorControls(RenderState& state, double brightness, double contrast, double saturation) {
  applyFilter(state, "CIColorControls",
              {{"inputBrightness", brightness}, {"inputContrast", contrast}, {"inputSaturation", saturation}});
}

double smooth(double t) { return t * t * (3 - 2 * t); }

}  // namespace

void applyBrightness(RenderState& state) {
  applyGainAndBias(state, std::max(settings().brightness + 1, 0.0), 0);
  applyFilter(state, "CIColorClamp");
}

std::optional<TonePercentiles> luminancePercentiles(const coreimage::Image& image) {
  coreimage::Rect e = image.extent();
  if (image.isEmpty() || e.isInfinite() || e.width() < 2 || e.height() < 2) return std::nullopt;
  auto filter = coreimage::Filter::named("CIAreaHistogram");
  if (!filter) return std::nullopt;
  filter->setValue(coreimage::kInputImageKey, image);
  filter->setValue("inputExtent", coreimage::Vector{{e.minX, e.minY, e.width(), e.height()}});
  filter->setValue("inputCount", 256.0);
  filter->setValue(coreimage::kInputScaleKey, 1.0);
  auto histogram = filter->outputImage();
  if (!histogram) return std::nullopt;
  std::vector<float> bins = coreimage::renderFloat(*histogram, {0, 0, 256, 1});
  double h[256], total = 0;
  for (std::size_t i = 0; i < 256; ++i) {
    h[i] = 0.2126 * bins[i * 4] + 0.7152 * bins[i * 4 + 1] + 0.0722 * bins[i * 4 + 2];
    total += h[i];
  }
  if (!(total > 0)) return std::nullopt;
  double values[3];
  const double targets[3] = {0.005, 0.5, 0.995};
  for (int t = 0; t < 3; ++t) {
    double sum = 0;
    int index = 255;
    for (int i = 0; i < 256; ++i) {
      sum += h[i];
      if (sum >= targets[t] * total) {
        index = i;
        break;
      }
    }
    values[t] = index / 255.0;
  }
  return TonePercentiles{values[0], values[1], values[2]};
}

double toneMap(double x, double black, double white, double mid, double d) {
  if (d < 0) return clamp(mid + (x - mid) * (1 + d), 0, 1);
  double lo = black * (1 - d);
  double span = (white + (1 - white) * d) - lo;
  double v = clamp(lo + (x - black) / (white - black) * span, 0, 1);
  double p = clamp(lo + (mid - black) / (white - black) * span, 0, 1);
  double s;
  if (v <= p && p > 0.0001)
    s = p * smooth(v / p);
  else if (v > p && p >= 0.9999)
    s = v;
  else
    s = p + (1 - p) * smooth((v - p) / (1 - p));
  return clamp(0.35 * d * s + (1 - 0.35 * d) * v, 0, 1);
}

void applyContrast(RenderState& state) {
  const Settings& s = settings();
  if (s.linearTone) {
    applyGainAndBias(state, s.contrast, (1 - s.contrast) * 0.5);
    applyFilter(state, "CIColorClamp");
    return;
  }
  auto tones = luminancePercentiles(state.image);
  if (tones && tones->white - tones->black > 0.05 && tones->mid > tones->black + 0.01 &&
      tones->mid < tones->white - 0.01) {
    double curve[48];
    for (int i = 0; i < 48; ++i) curve[i] = toneMap(i / 47.0, tones->black, tones->white, tones->mid, s.contrastDelta);
    ColorCube cube = makeColorCube(48, [&](int i, int j, int k) {
      return std::array<double, 3>{curve[i], curve[j], curve[k]};
    });
    if (applyColorCube(state, cube) != CubeOutcome::unavailable)
      applyFilter(state, "CIColorClamp");
    else
      applyColorControls(state, 0, s.contrast, 1);
    return;
  }
  applyColorControls(state, 0, s.contrast, 1);
}

void applySaturation(RenderState& state) { applyColorControls(state, 0, 1, settings().saturation); }

}  // namespace tonesmith
