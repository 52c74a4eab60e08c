// Film looks in linear light: the film colour profiles (Kodak Gold 200 and
// Fujifilm 200) and the Fujicolor C200 stock chroma of the negative film
// look, each baked into a colour cube.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

double luminance(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

double c200Smoothstep(double e0, double e1, double x) {
  double t = clamp((x - e0) / (e1 - e0), 0, 1);
  return t * t * (3 - 2 * t);
}

double c200HueBand(double hue, double center, double halfWidth) {
  double d = std::fmod(std::fabs(hue - center), 360.0);
  d = std::min(d, 360 - d);
  return clamp(1 - d / halfWidth, 0, 1);
}

std::string profileCubeKey(std::string_view profile, double strength) {
  char text[64];
  std::snprintf(text, sizeof text, " %a", strength);
  return "film color profile " + std::string(profile) + text;
}

void applyLookCube(RenderState& state, const ColorCube& cube, const char* buildMessage, const char* renderMessage) {
  switch (applyColorCube(state, cube)) {
    case CubeOutcome::unavailable:
      fail(buildMessage);
    case CubeOutcome::noImage:
      fail(renderMessage);
    case CubeOutcome::applied:
      break;
  }
  applyFilter(state, "CIColorClamp");
}

}  // namespace

std::optional<ColorCube> filmColorProfileCube(std::string_view profile, double strength) {
  const bool kodak = profile == "kodak-gold-200";
  if ((!kodak && profile != "fujifilm-200") || !(strength > 0.0001)) return std::nullopt;
  const double saturation = kodak ? 1.24 : 1.4;
  double linear[64];
  for (int i = 0; i < 64; ++i) linear[i] = srgbToLinear(i / 63.0);
  return makeColorCube(64, [&](int i, int j, int k) {
    const double X[3] = {linear[i], linear[j], linear[k]};
    double Y = luminance(X[0], X[1], X[2]);
    double shadow = std::pow(1 - Y, 1.35), highlight = std::pow(Y, 1.2);
    double mid = std::pow(clamp(4 * Y * (1 - Y), 0, 1), 0.72);
    double P[3] = {X[0], X[1], X[2]};
    if (kodak) {
      P[0] *= 1 + 0.18 * highlight + 0.07 * mid + 0.025 * shadow;
      P[1] *= 1 + 0.07 * highlight + 0.04 * mid;
      P[2] *= 1 - 0.22 * highlight - 0.11 * mid - 0.035 * shadow;
    }
    double Yp = luminance(P[0], P[1], P[2]);
    std::array<double, 3> out;
    for (int c = 0; c < 3; ++c) {
      double saturated = Yp + saturation * (P[c] - Yp);
      out[c] = linearToSrgb(std::max(X[c] + strength * (saturated - X[c]), 0.0));
    }
    return out;
  });
}

void prepareFilmColorProfile(std::string_view profile, double strength) {
  buildCubesAhead({{profileCubeKey(profile, strength),
                    [p = std::string(profile), strength] { return filmColorProfileCube(p, strength); }}});
}

void applyFilmColorProfile(RenderState& state, std::string_view profile, double strength) {
  const std::optional<ColorCube>* ahead = cubeBuiltAhead(profileCubeKey(profile, strength));
  std::optional<ColorCube> cube = ahead ? *ahead : filmColorProfileCube(profile, strength);
  if (!cube) return;
  applyLookCube(state, *cube, "Cannot build film color profile", "Cannot render film color profile");
}

double c200StockChromaGain(double r, double g, double b) {
  double mx = std::max({r, g, b}), mn = std::min({r, g, b}), chroma = mx - mn;
  if (chroma <= 0.0001) return 1;
  double h;
  if (r == mx) h = std::fmod((g - b) / chroma, 6.0);
  else if (g == mx) h = (b - r) / chroma + 2;
  else h = (r - g) / chroma + 4;
  double hue = 60 * h;
  if (hue < 0) hue += 360;
  double Y = luminance(srgbToLinear(r), srgbToLinear(g), srgbToLinear(b));
  double chromaWeight = c200Smoothstep(0.025, 0.16, chroma);
  double shadowGate = c200Smoothstep(0.08, 0.25, Y), highlightGate = c200Smoothstep(0.9, 0.99, Y);
  double hueWeight = 0.65 * c200HueBand(hue, 122, 72) + 0.55 * c200HueBand(hue, 218, 64) +
                     0.2 * c200HueBand(hue, 0, 30) - 0.1 * c200HueBand(hue, 30, 34);
  return clamp(1 + chromaWeight * (1 - highlightGate) * shadowGate * hueWeight, 0.88, 1.65);
}

ColorCube c200StockChromaCube() {
  return makeColorCube(32, [](int i, int j, int k) {
    const double r = i / 31.0, g = j / 31.0, b = k / 31.0;
    double gain = c200StockChromaGain(r, g, b);
    const double X[3] = {srgbToLinear(r), srgbToLinear(g), srgbToLinear(b)};
    double Y = luminance(X[0], X[1], X[2]);
    std::array<double, 3> out;
    for (int c = 0; c < 3; ++c) out[c] = linearToSrgb(std::max(Y + gain * (X[c] - Y), 0.0));
    return out;
  });
}

void applyFujicolorC200StockChroma(RenderState& state) {
  applyLookCube(state, c200StockChromaCube(), "Cannot build Fujicolor C200 stock look",
                "Cannot render Fujicolor C200 stock look");
}

}  // namespace tonesmith
