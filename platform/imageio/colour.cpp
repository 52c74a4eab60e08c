// Embedded ICC profiles to sRGB. lcms2 reads every profile and defines the
// conversion; how it is applied depends on the profile:
//
//  - RGB matrix/TRC profiles (Display P3, Adobe RGB, ProPhoto and most
//    camera profiles) with black at zero: lcms2's own transform is then the
//    profile's curves, its colorant matrix, sRGB's inverse matrix and
//    sRGB's inverse curve (black-point compensation changes nothing when
//    both blacks are zero). That chain is run here from tables filled with
//    lcms2's curves: lcms2's per-pixel path runs at about 25 megapixels a
//    second, far too slow to sit in front of every decode of a phone photo.
//  - grey profiles: one value in, so a table of lcms2's result for every
//    input value (256 or 65536 entries).
//  - everything else (LUT-based RGB profiles, CMYK): lcms2 itself.
//
// A profile whose conversion moves no colour by half an 8-bit level or more
// is sRGB for our purposes and costs nothing.
#include "colour.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <list>
#include <mutex>
#include <tuple>

namespace imageio {

int bandsOf(ColourInput input) {
  switch (input) {
    case ColourInput::grey:
      return 1;
    case ColourInput::greyAlpha:
      return 2;
    case ColourInput::rgb:
      return 3;
    case ColourInput::rgba:
    case ColourInput::cmyk:
      return 4;
    case ColourInput::cmykAlpha:
      return 5;
  }
  return 0;
}

bool hasAlpha(ColourInput input) {
  return input == ColourInput::greyAlpha || input == ColourInput::rgba || input == ColourInput::cmykAlpha;
}

namespace {

struct ProfileCloser {
  void operator()(void* profile) const {
    if (profile) cmsCloseProfile(profile);
  }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
  void operator()(void* transform) const {
    if (transform) cmsDeleteTransform(transform);
  }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

constexpr cmsUInt32Number kIntent = INTENT_RELATIVE_COLORIMETRIC;
// NOCACHE: the one-pixel cache is written by every call, which would make a
// transform unsafe to share between threads.
constexpr cmsUInt32Number kFlags = cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOCACHE;

// Half an 8-bit level: a conversion that moves nothing further is none.
constexpr double kIdentityTolerance = 0.5 / 255;

void quietErrors(cmsContext, cmsUInt32Number, const char*) {}

Profile openProfile(const std::vector<std::uint8_t>& bytes) {
  static std::once_flag once;
  std::call_once(once, [] { cmsSetLogErrorHandler(quietErrors); });
  return Profile(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
}

Profile srgb() { return Profile(cmsCreate_sRGBProfile()); }

using Matrix = std::array<std::array<double, 3>, 3>;

// The colorant matrix (columns red, green, blue in PCS XYZ); false when a
// tag is missing.
bool colorants(void* profile, Matrix& m) {
  const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
  for (int c = 0; c < 3; ++c) {
    const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, tags[c]));
    if (!xyz) return false;
    m[0][c] = xyz->X;
    m[1][c] = xyz->Y;
    m[2][c] = xyz->Z;
  }
  return true;
}

bool inverted(const Matrix& m, Matrix& inverse) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (!std::isfinite(det) || std::abs(det) < 1e-9) return false;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      inverse[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
    }
  return true;
}

Matrix product(const Matrix& a, const Matrix& b) {
  Matrix m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) m[r][c] += a[r][k] * b[k][c];
  return m;
}

// ---------------------------------------------------------------------------
// RGB matrix/TRC profiles

class MatrixShaper final : public ColourConversion {
 public:
  // Absent when the profile is not a plain matrix/TRC profile with black at
  // zero, or its matrix cannot be inverted.
  static std::unique_ptr<MatrixShaper> build(void* profile, ColourInput input, bool sixteen) {
    for (const cmsTagSignature lut : {cmsSigAToB0Tag, cmsSigAToB1Tag, cmsSigAToB2Tag, cmsSigDToB0Tag,
                                      cmsSigDToB1Tag, cmsSigDToB2Tag})
      if (cmsIsTag(profile, lut)) return nullptr;
    if (!cmsIsMatrixShaper(profile)) return nullptr;
    Profile target = srgb();
    Matrix source{}, destination{}, inverse{};
    if (!target || !colorants(profile, source) || !colorants(target.get(), destination) ||
        !inverted(destination, inverse))
      return nullptr;
    std::unique_ptr<MatrixShaper> shaper(new MatrixShaper(input, sixteen));
    shaper->matrix_ = product(inverse, source);
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int c = 0; c < 3; ++c) {
      const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, curves[c]));
      if (!curve || std::abs(cmsEvalToneCurveFloat(curve, 0.0f)) > 1e-6f) return nullptr;
      auto& linear = shaper->linear_[c];
      linear.resize(sixteen ? 65536 : 256);
      const double top = static_cast<double>(linear.size() - 1);
      for (std::size_t v = 0; v < linear.size(); ++v)
        linear[v] = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v / top));
    }
    const auto* targetCurve = static_cast<const cmsToneCurve*>(cmsReadTag(target.get(), cmsSigRedTRCTag));
    if (!targetCurve) return nullptr;
    std::unique_ptr<cmsToneCurve, void (*)(cmsToneCurve*)> encode(cmsReverseToneCurve(targetCurve),
                                                                  cmsFreeToneCurve);
    if (!encode) return nullptr;
    // sRGB's curve from linear light quantised to 16 bits: 12.92 sixteen-bit
    // steps at the darkest, a twentieth of an 8-bit level.
    shaper->encode_.resize(65536);
    for (std::size_t v = 0; v < shaper->encode_.size(); ++v)
      shaper->encode_[v] = std::clamp(cmsEvalToneCurveFloat(encode.get(), static_cast<cmsFloat32Number>(v / 65535.0)),
                                      0.0f, 1.0f);
    shaper->prepare();
    return shaper;
  }

  // Whether no colour moves by kIdentityTolerance or more: a grid through
  // the cube and every level of each primary alone.
  bool isIdentity() const {
    const std::size_t top = linear_[0].size() - 1;
    auto moves = [&](std::size_t r, std::size_t g, std::size_t b) {
      const std::size_t in[3] = {r, g, b};
      const std::array<double, 3> out = exact(r, g, b);
      for (int c = 0; c < 3; ++c)
        if (std::abs(out[c] - static_cast<double>(in[c]) / static_cast<double>(top)) >= kIdentityTolerance) return true;
      return false;
    };
    const std::size_t step = (top + 1) / 16;
    for (std::size_t r = 0; r <= top + 1; r += step)
      for (std::size_t g = 0; g <= top + 1; g += step)
        for (std::size_t b = 0; b <= top + 1; b += step)
          if (moves(std::min(r, top), std::min(g, top), std::min(b, top))) return false;
    for (std::size_t v = 0; v <= top; v += sixteen() ? 257 : 1)
      if (moves(v, 0, 0) || moves(0, v, 0) || moves(0, 0, v) || moves(v, v, v)) return false;
    return true;
  }

  void convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const override {
    if (sixteen())
      convert16(in, out, pixels);
    else
      convert8(in, out, pixels);
  }

 private:
  MatrixShaper(ColourInput input, bool sixteen) : ColourConversion(input, sixteen) {}

  // Linear light, 1.0 at 65535 << kExtraBits, as whole numbers.
  static constexpr int kExtraBits = 4;
  static constexpr double kScale = 65535.0 * (1 << kExtraBits);

  void prepare() {
    encode8_.resize(encode_.size());
    encode16_.resize(encode_.size());
    for (std::size_t v = 0; v < encode_.size(); ++v) {
      encode8_[v] = static_cast<std::uint8_t>(std::lround(encode_[v] * 255.0));
      encode16_[v] = static_cast<std::uint16_t>(std::lround(encode_[v] * 65535.0));
    }
    if (sixteen()) return;
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v)
        for (int o = 0; o < 3; ++o)
          contribution_[c][v][o] = static_cast<std::int32_t>(std::lround(matrix_[o][c] * linear_[c][v] * kScale));
  }

  // The conversion in double precision, before quantising.
  std::array<double, 3> exact(std::size_t r, std::size_t g, std::size_t b) const {
    const double lin[3] = {linear_[0][r], linear_[1][g], linear_[2][b]};
    std::array<double, 3> out{};
    for (int o = 0; o < 3; ++o) {
      const double value = std::clamp(matrix_[o][0] * lin[0] + matrix_[o][1] * lin[1] + matrix_[o][2] * lin[2], 0.0, 1.0);
      out[o] = encode_[static_cast<std::size_t>(std::lround(value * 65535.0))];
    }
    return out;
  }

  static std::size_t index(std::int32_t sum) {
    return static_cast<std::size_t>(std::clamp((sum + (1 << (kExtraBits - 1))) >> kExtraBits, 0, 65535));
  }

  void convert8(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const {
    const bool alpha = hasAlpha(input());
    const std::size_t stride = alpha ? 4 : 3;
    for (std::size_t i = 0; i < pixels; ++i, in += stride, out += stride) {
      const auto& r = contribution_[0][in[0]];
      const auto& g = contribution_[1][in[1]];
      const auto& b = contribution_[2][in[2]];
      const std::uint8_t a = alpha ? in[3] : 0;
      out[0] = encode8_[index(r[0] + g[0] + b[0])];
      out[1] = encode8_[index(r[1] + g[1] + b[1])];
      out[2] = encode8_[index(r[2] + g[2] + b[2])];
      if (alpha) out[3] = a;
    }
  }

  void convert16(const std::uint8_t* inBytes, std::uint8_t* outBytes, std::size_t pixels) const {
    const bool alpha = hasAlpha(input());
    const std::size_t stride = alpha ? 4 : 3;
    const auto* in = reinterpret_cast<const std::uint16_t*>(inBytes);
    auto* out = reinterpret_cast<std::uint16_t*>(outBytes);
    const float m[3][3] = {{float(matrix_[0][0]), float(matrix_[0][1]), float(matrix_[0][2])},
                           {float(matrix_[1][0]), float(matrix_[1][1]), float(matrix_[1][2])},
                           {float(matrix_[2][0]), float(matrix_[2][1]), float(matrix_[2][2])}};
    for (std::size_t i = 0; i < pixels; ++i, in += stride, out += stride) {
      const float r = linear_[0][in[0]], g = linear_[1][in[1]], b = linear_[2][in[2]];
      const std::uint16_t a = alpha ? in[3] : 0;
      for (int o = 0; o < 3; ++o) {
        const float value = std::clamp(m[o][0] * r + m[o][1] * g + m[o][2] * b, 0.0f, 1.0f);
        out[o] = encode16_[static_cast<std::size_t>(value * 65535.0f + 0.5f)];
      }
      if (alpha) out[3] = a;
    }
  }

  Matrix matrix_{};                         // source RGB linear -> sRGB linear
  std::array<std::vector<float>, 3> linear_;  // per channel, per input value
  std::vector<float> encode_;               // linear (16-bit) -> sRGB 0..1
  std::vector<std::uint8_t> encode8_;
  std::vector<std::uint16_t> encode16_;
  std::int32_t contribution_[3][256][3] = {};  // [input channel][value][output channel]
};

// ---------------------------------------------------------------------------
// lcms2 transforms

cmsUInt32Number lcmsFormat(ColourInput input, bool sixteen) {
  const cmsUInt32Number bytes = sixteen ? 2 : 1;
  switch (input) {
    case ColourInput::grey:
      return COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(bytes);
    case ColourInput::greyAlpha:
      return COLORSPACE_SH(PT_GRAY) | EXTRA_SH(1) | CHANNELS_SH(1) | BYTES_SH(bytes);
    case ColourInput::rgb:
      return COLORSPACE_SH(PT_RGB) | CHANNELS_SH(3) | BYTES_SH(bytes);
    case ColourInput::rgba:
      return COLORSPACE_SH(PT_RGB) | EXTRA_SH(1) | CHANNELS_SH(3) | BYTES_SH(bytes);
    case ColourInput::cmyk:
      return COLORSPACE_SH(PT_CMYK) | CHANNELS_SH(4) | BYTES_SH(bytes);
    case ColourInput::cmykAlpha:
      return COLORSPACE_SH(PT_CMYK) | EXTRA_SH(1) | CHANNELS_SH(4) | BYTES_SH(bytes);
  }
  return 0;
}

cmsUInt32Number rgbFormat(bool alpha, bool sixteen) {
  return lcmsFormat(alpha ? ColourInput::rgba : ColourInput::rgb, sixteen);
}

class LcmsConversion final : public ColourConversion {
 public:
  LcmsConversion(ColourInput input, bool sixteen, Transform transform)
      : ColourConversion(input, sixteen), transform_(std::move(transform)) {}
  void convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const override {
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    const std::size_t inBytes = static_cast<std::size_t>(bandsOf(input())) * (sixteen() ? 2 : 1);
    const std::size_t outBytes = static_cast<std::size_t>(outputBands()) * (sixteen() ? 2 : 1);
    for (std::size_t done = 0; done < pixels; done += kChunk) {
      const std::size_t count = std::min(kChunk, pixels - done);
      cmsDoTransform(transform_.get(), in + done * inBytes, out + done * outBytes,
                     static_cast<cmsUInt32Number>(count));
    }
  }

 private:
  Transform transform_;
};

// Grey: lcms2's answer for every input value, looked up.
class GreyTable final : public ColourConversion {
 public:
  static std::unique_ptr<GreyTable> build(void* profile, ColourInput input, bool sixteen) {
    Profile target = srgb();
    Transform transform(cmsCreateTransform(profile, TYPE_GRAY_16, target.get(), TYPE_RGB_16, kIntent, kFlags));
    if (!transform) return nullptr;
    const std::size_t levels = sixteen ? 65536 : 256;
    std::vector<std::uint16_t> in(levels), out(levels * 3);
    for (std::size_t v = 0; v < levels; ++v) in[v] = static_cast<std::uint16_t>(sixteen ? v : v * 257);
    cmsDoTransform(transform.get(), in.data(), out.data(), static_cast<cmsUInt32Number>(levels));
    std::unique_ptr<GreyTable> table(new GreyTable(input, sixteen));
    bool identity = true;
    for (std::size_t i = 0; i < out.size(); ++i) {
      const double value = out[i] / 65535.0, expected = static_cast<double>(i / 3) / static_cast<double>(levels - 1);
      if (std::abs(value - expected) >= kIdentityTolerance) identity = false;
      if (sixteen)
        table->table16_.push_back(out[i]);
      else
        table->table8_.push_back(static_cast<std::uint8_t>((out[i] * 2u + 257u) / 514u));
    }
    if (identity) return nullptr;
    return table;
  }

  void convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const override {
    const bool alpha = hasAlpha(input());
    const std::size_t inStride = alpha ? 2 : 1, outStride = alpha ? 4 : 3;
    if (sixteen()) {
      const auto* from = reinterpret_cast<const std::uint16_t*>(in);
      auto* to = reinterpret_cast<std::uint16_t*>(out);
      // Back to front, so that the buffers may be the same.
      for (std::size_t i = pixels; i-- > 0;) {
        const std::uint16_t v = from[i * inStride], a = alpha ? from[i * inStride + 1] : 0;
        std::memcpy(to + i * outStride, &table16_[std::size_t{v} * 3], 3 * sizeof(std::uint16_t));
        if (alpha) to[i * outStride + 3] = a;
      }
      return;
    }
    for (std::size_t i = pixels; i-- > 0;) {
      const std::uint8_t v = in[i * inStride], a = alpha ? in[i * inStride + 1] : 0;
      std::memcpy(out + i * outStride, &table8_[std::size_t{v} * 3], 3);
      if (alpha) out[i * outStride + 3] = a;
    }
  }

 private:
  GreyTable(ColourInput input, bool sixteen) : ColourConversion(input, sixteen) {}
  std::vector<std::uint8_t> table8_;
  std::vector<std::uint16_t> table16_;
};

// Whether lcms2's conversion of RGB moves no colour by the tolerance: a
// grid through the cube, in double precision.
bool rgbIdentity(void* profile) {
  Profile target = srgb();
  Transform exact(cmsCreateTransform(profile, TYPE_RGB_DBL, target.get(), TYPE_RGB_DBL, kIntent,
                                     kFlags | cmsFLAGS_NOOPTIMIZE));
  if (!exact) return false;
  std::vector<double> in;
  for (int r = 0; r <= 8; ++r)
    for (int g = 0; g <= 8; ++g)
      for (int b = 0; b <= 8; ++b) in.insert(in.end(), {r / 8.0, g / 8.0, b / 8.0});
  std::vector<double> out(in.size());
  cmsDoTransform(exact.get(), in.data(), out.data(), static_cast<cmsUInt32Number>(in.size() / 3));
  for (std::size_t i = 0; i < in.size(); ++i)
    if (!(std::abs(out[i] - in[i]) < kIdentityTolerance)) return false;
  return true;
}

bool fits(cmsColorSpaceSignature space, ColourInput input) {
  switch (input) {
    case ColourInput::grey:
    case ColourInput::greyAlpha:
      return space == cmsSigGrayData;
    case ColourInput::rgb:
    case ColourInput::rgba:
      return space == cmsSigRgbData;
    case ColourInput::cmyk:
    case ColourInput::cmykAlpha:
      return space == cmsSigCmykData;
  }
  return false;
}

std::shared_ptr<const ColourConversion> build(const std::vector<std::uint8_t>& bytes, ColourInput input,
                                              bool sixteen) {
  Profile profile = openProfile(bytes);
  if (!profile || !fits(cmsGetColorSpace(profile.get()), input)) return nullptr;
  switch (input) {
    case ColourInput::grey:
    case ColourInput::greyAlpha:
      return GreyTable::build(profile.get(), input, sixteen);
    case ColourInput::rgb:
    case ColourInput::rgba:
      if (auto shaper = MatrixShaper::build(profile.get(), input, sixteen)) {
        if (shaper->isIdentity()) return nullptr;
        return shaper;
      }
      if (rgbIdentity(profile.get())) return nullptr;
      break;
    default:
      break;
  }
  Profile target = srgb();
  Transform transform(cmsCreateTransform(profile.get(), lcmsFormat(input, sixteen), target.get(),
                                         rgbFormat(hasAlpha(input), sixteen), kIntent,
                                         kFlags | (hasAlpha(input) ? cmsFLAGS_COPY_ALPHA : 0)));
  if (!transform) return nullptr;
  return std::make_shared<LcmsConversion>(input, sixteen, std::move(transform));
}

}  // namespace

std::shared_ptr<const ColourConversion> ColourConversion::forProfile(const std::vector<std::uint8_t>& profile,
                                                                     ColourInput input, bool sixteen) {
  if (profile.empty()) return nullptr;
  // The last few conversions, kept: a folder of photos from one camera
  // shares one profile.
  struct Entry {
    std::vector<std::uint8_t> profile;
    ColourInput input;
    bool sixteen;
    std::shared_ptr<const ColourConversion> conversion;
  };
  static std::mutex mutex;
  static std::list<Entry> recent;
  constexpr std::size_t kKept = 8;
  {
    std::lock_guard lock(mutex);
    for (auto it = recent.begin(); it != recent.end(); ++it)
      if (it->input == input && it->sixteen == sixteen && it->profile == profile) {
        recent.splice(recent.begin(), recent, it);
        return it->conversion;
      }
  }
  auto conversion = build(profile, input, sixteen);
  std::lock_guard lock(mutex);
  recent.push_front({profile, input, sixteen, conversion});
  if (recent.size() > kKept) recent.pop_back();
  return conversion;
}

const std::vector<std::uint8_t>& srgbProfile() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> out;
    Profile profile = srgb();
    if (!profile) return out;
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    if (description) {
      cmsMLUsetASCII(description, "en", "US", "sRGB IEC61966-2.1");
      cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, description);
      cmsMLUfree(description);
    }
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size < 128) return out;
    out.resize(size);
    if (!cmsSaveProfileToMem(profile.get(), out.data(), &size)) return std::vector<std::uint8_t>{};
    // The creation date (bytes 24 to 35): fixed, so that equal pictures give
    // equal files. 2024-01-01 00:00:00.
    const std::uint8_t date[12] = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    std::memcpy(out.data() + 24, date, sizeof date);
    return out;
  }();
  return bytes;
}

}  // namespace imageio
