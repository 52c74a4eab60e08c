// Edit geometry (orthogonal and fine rotation with auto-crop, mirroring,
// the user's crop) and soft edges.
#include <cmath>
#include <numbers>

#include "tonesmith.h"

namespace tonesmith {
namespace {

using coreimage::Affine;
using coreimage::Image;
using coreimage::Rect;

// Positive degrees turn the picture clockwise as seen (y up).
Image rotatedByDegrees(const Image& image, double degrees) {
  return image.transformed(Affine::rotation(-degrees * std::numbers::pi / 180)).movedToOrigin();
}

[[noreturn]] void stop(const char* message) { fail(message); }

}  // namespace

// Width of the largest rectangle of aspect a (width / height), centred on the
// rotated picture, whose corners turned back by θ lie inside the ow × oh
// original; bisection over the width.
double inscribedCropWidth(double ow, double oh, double a, double theta, double rw, double rh) {
  double lo = 0, hi = std::min(rh * a, rw);
  const double c = std::fabs(std::cos(theta)), s = std::fabs(std::sin(theta));
  for (int i = 0; i < 60; ++i) {
    double mid = (lo + hi) * 0.5;
    bool inside = true;
    for (double sx : {-1.0, 1.0}) {
      for (double sy : {-1.0, 1.0}) {
        double x = sx * mid / 2, y = sy * mid / (2 * a);
        inside = inside && std::fabs(c * x + s * y) <= ow / 2 && std::fabs(c * y - s * x) <= oh / 2;
      }
    }
    (inside ? lo : hi) = mid;
  }
  return lo;
}

void applyEditGeometry(RenderState& state) {
  const Settings& s = settings();
  const bool fullFrame = s.cropX <= 0.0001 && s.cropY <= 0.0001 && s.cropWidth >= 0.9999 && s.cropHeight >= 0.9999;

  // Within 0.0001° of zero the orthogonal step turns nothing, as the fine
  // step below: a turn of a few hundred-thousandths of a degree (what the
  // rotation rule leaves for a tiny fine rotation) would only grow the
  // picture by a row and a column of empty pixels.
  if (std::fabs(s.orthogonalRotation) > 0.0001) state.image = rotatedByDegrees(state.image, s.orthogonalRotation);

  if (std::fabs(s.fineRotation) > 0.0001) {
    Rect o = state.image.extent().integral();
    const double ow = o.width(), oh = o.height(), a = ow / oh;
    const double theta = -s.fineRotation * std::numbers::pi / 180;
    Affine turn = Affine::rotation(theta);
    Rect turned = turn.apply(state.image.extent());
    turn = turn.then(Affine::translation(-turned.minX, -turned.minY));
    Rect r = turn.apply(state.image.extent());
    // The auto-crop is made integral outward, so its border pixels may reach
    // up to a pixel past the turned picture; sampling the edge-extended
    // picture gives them real colour instead of transparent black.
    Image rotated = state.image.clampedToExtent().transformed(turn);
    const double rw = r.width(), rh = r.height();
    if (!(rw >= 1 && rh >= 1)) stop("Rotated image is empty");
    double w = inscribedCropWidth(ow, oh, a, theta, rw, rh);
    double cw = w, ch = w / a;
    if (rh < ch) {
      ch = rh;
      cw = rh * a;
    }
    if (rw < cw) {
      cw = rw;
      ch = rw / a;
    }
    if (!(cw >= 1 && ch >= 1)) stop("Auto-crop after fine rotation is empty");
    Rect crop = Rect::make(r.minX + (rw - cw) / 2, r.minY + (rh - ch) / 2, cw, ch).intersection(r).integral();
    if (!(crop.width() >= 1 && crop.height() >= 1)) stop("Auto-crop after fine rotation is empty");
    state.image = rotated.cropped(crop).movedToOrigin();
  }

  if (s.flipHorizontal) state.image = state.image.transformed(Affine::scale(-1, 1)).movedToOrigin();

  if (!fullFrame) {
    Rect e = state.image.extent().integral();
    const double ew = e.width(), eh = e.height();
    auto limit = [](double v, double lo, double hi) { return std::min(std::max(v, lo), hi); };
    double x0 = limit(std::round(e.minX + s.cropX * ew), e.minX, e.maxX);
    double x1 = limit(std::round(e.minX + (s.cropX + s.cropWidth) * ew), e.minX, e.maxX);
    double y0 = limit(std::round(e.minY + (1 - s.cropY - s.cropHeight) * eh), e.minY, e.maxY);
    double y1 = limit(std::round(e.minY + (1 - s.cropY) * eh), e.minY, e.maxY);
    if (!(x1 - x0 >= 1 && y1 - y0 >= 1)) stop("Crop rectangle is empty");
    state.image = state.image.cropped(Rect::make(x0, y0, x1 - x0, y1 - y0)).movedToOrigin();
  }
}

void applySoftEdges(RenderState& state) {
  const Settings& s = settings();
  const Rect rect = state.image.extent().integral();
  const double w = rect.width(), h = rect.height();
  const double e = std::min(w, h) * clamp(s.edgeSoftness, 0, 1) * 0.06;
  const double band = std::max(e, 2.0);
  const double radius = std::max(0.8, 0.35 * e);

  auto blur = coreimage::Filter::named("CIGaussianBlur");
  if (!blur) fail("Cannot build edge blur");
  blur->setValue(coreimage::kInputImageKey, state.image.clampedToExtent());
  blur->setValue(coreimage::kInputRadiusKey, radius);
  auto blurred = blur->outputImage();
  if (!blurred) return;
  Image softened = blurred->cropped(rect);

  Image mask = Image::constantColor({0, 0, 0, 1}).cropped(rect);
  const coreimage::Point ramps[4][2] = {
      {{rect.minX, rect.midY()}, {rect.minX + band, rect.midY()}},
      {{rect.maxX, rect.midY()}, {rect.maxX - band, rect.midY()}},
      {{rect.midX(), rect.minY}, {rect.midX(), rect.minY + band}},
      {{rect.midX(), rect.maxY}, {rect.midX(), rect.maxY - band}},
  };
  for (const auto& ramp : ramps) {
    auto gradient = coreimage::Filter::named("CILinearGradient");
    if (!gradient) continue;
    gradient->setValue("inputPoint0", coreimage::Vector{{ramp[0].x, ramp[0].y}});
    gradient->setValue("inputPoint1", coreimage::Vector{{ramp[1].x, ramp[1].y}});
    gradient->setValue("inputColor0", coreimage::Color{1, 1, 1, 1});
    gradient->setValue("inputColor1", coreimage::Color{0, 0, 0, 1});
    auto ramped = gradient->outputImage();
    if (!ramped) continue;
    auto lighten = coreimage::Filter::named("CILightenBlendMode");
    if (!lighten) continue;
    lighten->setValue(coreimage::kInputImageKey, ramped->cropped(rect));
    lighten->setValue(coreimage::kInputBackgroundImageKey, mask);
    if (auto combined = lighten->outputImage()) mask = combined->cropped(rect);
  }

  auto blend = coreimage::Filter::named("CIBlendWithMask");
  if (!blend) return;
  blend->setValue(coreimage::kInputImageKey, softened);
  blend->setValue(coreimage::kInputBackgroundImageKey, state.image);
  blend->setValue(coreimage::kInputMaskImageKey, mask);
  if (auto out = blend->outputImage()) state.image = out->cropped(rect);
}

}  // namespace tonesmith
