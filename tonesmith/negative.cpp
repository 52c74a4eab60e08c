// Scanned negatives: the input tone of the raw scan, the colour-negative
// conversion (film base, optical density, per-channel range and balance,
// all baked into one 64-point cube) and the film look.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

using coreimage::Vector;

void applyChannelGains(RenderState& state, double r, double g, double b) {
  applyFilter(state, "CIColorMatrix",
              {{"inputRVector", Vector{{r, 0, 0, 0}}},
               {"inputGVector", Vector{{0, g, 0, 0}}},
               {"inputBVector", Vector{{0, 0, b, 0}}},
               {"inputAVector", Vector{{0, 0, 0, 1}}},
               {"inputBiasVector", Vector{{0, 0, 0, 0}}}});
}

double density(double baseLinear, double storedValue) {
  return std::max(std::log((baseLinear + 0.000001) / (srgbToLinear(storedValue) + 0.000001)), 0.0);
}

}  // namespace

void applyNegativeInputTone(RenderState& state) {
  const Settings& s = settings();
  if (s.negativeInputBrightness != 0) {
    double k = std::max(s.negativeInputBrightness + 1, 0.0);
    applyChannelGains(state, k, k, k);
  }
  if (s.negativeInputContrast != 0)
    applyFilter(state, "CIColorControls",
                {{"inputBrightness", 0.0},
                 {"inputContrast", std::max(s.negativeInputContrast + 1, 0.05)},
                 {"inputSaturation", 1.0}});
}

std::array<DensityRange, 3> densityStatistics(const std::vector<RGBSample>& samples,
                                              const std::array<double, 3>& baseLinear, double dynamicRange) {
  std::array<DensityRange, 3> ranges;
  double RGBSample::*channels[3] = {&RGBSample::r, &RGBSample::g, &RGBSample::b};
  for (int c = 0; c < 3; ++c) {
    std::vector<double> d;
    d.reserve(samples.size());
    for (const auto& s : samples) d.push_back(density(baseLinear[c], s.*channels[c]));
    // The value a full sort would put at each index (nth_element: no sort).
    auto at = [&](std::size_t index) {
      std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(index), d.end());
      return d[index];
    };
    auto P = [&](double q) {
      return d.empty() ? 0.0 : at(static_cast<std::size_t>(static_cast<double>(d.size() - 1) * q));
    };
    DensityRange& r = ranges[c];
    r.lo = P(0.01) + (P(0.001) - P(0.01)) * dynamicRange;
    r.hi = std::max(P(0.995) + (P(0.999) - P(0.995)) * dynamicRange, r.lo + 0.03);
    r.mid = d.empty() ? 0.0 : at((d.size() - 1) / 2);
  }
  return ranges;
}

std::array<double, 3> channelExponents(std::string_view profile, const std::array<double, 3>& response,
                                       const std::array<DensityRange, 3>& ranges) {
  bool defaultResponse = std::all_of(response.begin(), response.end(),
                                     [](double v) { return std::fabs(v - 1.5) <= 0.0001; });
  std::array<double, 3> e;
  if (profile == "color-auto" || (profile == "fujifilm-200" && defaultResponse)) {
    std::array<double, 3> m;
    for (int c = 0; c < 3; ++c)
      m[c] = clamp((ranges[c].mid - ranges[c].lo) / (ranges[c].hi - ranges[c].lo), 0.02, 0.98);
    std::vector<double> sorted(m.begin(), m.end());
    std::sort(sorted.begin(), sorted.end());
    double target = percentileOfSorted(sorted, 0.5);
    for (int c = 0; c < 3; ++c) e[c] = clamp(std::log(target) / std::log(m[c]), 0.55, 1.8);
  } else {
    for (int c = 0; c < 3; ++c) e[c] = response[1] / std::max(response[c], 0.2);
  }
  for (double& v : e) v = clamp(v, 0.35, 2.8);
  return e;
}

ColorCube colorNegativeCube(const std::array<double, 3>& baseLinear, const std::array<DensityRange, 3>& ranges,
                            const std::array<double, 3>& exponents, double dynamicRange, double colorIntensity) {
  const double s = dynamicRange * 0.04;
  double curve[3][64];
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 64; ++i) {
      double t = (density(baseLinear[c], i / 63.0) - ranges[c].lo) / (ranges[c].hi - ranges[c].lo);
      double u;
      if (s <= 0.000001) u = clamp(t, 0, 1);
      else if (t < 0) u = s * std::exp(t / s);
      else if (t <= 1) u = s + (1 - 2 * s) * t;
      else u = 1 - s * std::exp(-(t - 1) / s);
      curve[c][i] = std::pow(clamp(u, 0, 1), exponents[c]);
    }
  return makeColorCube(64, [&](int i, int j, int k) {
    double R = curve[0][i], G = curve[1][j], B = curve[2][k];
    double L = 0.2126 * R + 0.7152 * G + 0.0722 * B;
    auto out = [&](double X) { return linearToSrgb(clamp(L + colorIntensity * (X - L), 0, 1)); };
    return std::array<double, 3>{out(R), out(G), out(B)};
  });
}

void applyColorNegative(RenderState& state, std::string_view profile) {
  const Settings& s = settings();
  const RGBSample fallback{s.negativeBase[0], s.negativeBase[1], s.negativeBase[2]};
  std::optional<NegativeSamples> loaded;
  if (s.negativeSamplesPath) loaded = loadNegativeSamples(*s.negativeSamplesPath);
  if (!loaded) {
    // One reduced copy serves the whole picture and the four border strips.
    ReducedCopy copy = reducedInputCopy(state.negativeFilmBaseReference, 384);
    loaded.emplace();
    loaded->samples = samplesInside(copy, std::nullopt);
    for (NormalizedRect strip : {NormalizedRect{0, 0, 1, 0.1}, NormalizedRect{0, 0.9, 1, 0.1},
                                 NormalizedRect{0, 0.1, 0.1, 0.8}, NormalizedRect{0.9, 0.1, 0.1, 0.8}}) {
      auto part = samplesInside(copy, strip);
      loaded->edgeSamples.insert(loaded->edgeSamples.end(), part.begin(), part.end());
    }
  }
  if (s.emitNegativeSamplesPath) {
    ensureInputDecoded();
    if (!writeNegativeSamples(*s.emitNegativeSamplesPath, loaded->samples, loaded->edgeSamples))
      fail("Cannot write negative samples: " + *s.emitNegativeSamplesPath);
    std::exit(0);
  }
  RGBSample base = s.negativeBaseMode == "auto" ? robustAutomaticFilmBase(loaded->edgeSamples, fallback) : fallback;
  const std::array<double, 3> baseLinear{srgbToLinear(base.r), srgbToLinear(base.g), srgbToLinear(base.b)};
  auto ranges = densityStatistics(loaded->samples, baseLinear, s.negativeDynamicRange);
  auto exponents = channelExponents(profile, s.negativeResponse, ranges);
  ColorCube cube = colorNegativeCube(baseLinear, ranges, exponents, s.negativeDynamicRange, s.negativeColorIntensity);
  switch (applyColorCube(state, cube)) {
    case CubeOutcome::unavailable:
      fail("Cannot build color-negative transform");
    case CubeOutcome::noImage:
      fail("Cannot render color-negative transform");
    case CubeOutcome::applied:
      break;
  }
  applyFilter(state, "CIColorClamp");
}

void applyNegativeFilmLook(RenderState& state, std::string_view profile) {
  const Settings& s = settings();
  const auto& look = *s.negativeFilmLook;
  applyChannelGains(state, look[0], look[1], look[2]);
  if (profile == "fujifilm-200") applyFujicolorC200StockChroma(state);
  applyFilter(state, "CIColorControls",
              {{"inputBrightness", 0.0},
               {"inputContrast", s.negativeFilmContrast},
               {"inputSaturation", s.negativeFilmSaturation}});
}

}  // namespace tonesmith
