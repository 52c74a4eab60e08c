// Colour management on decode: a picture's embedded ICC profile converted
// to sRGB with lcms2 (relative colorimetric, black-point compensation), and
// the compact sRGB profile the encoders tag their output with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace imageio {

// The components of the pixels a conversion reads, interleaved.
enum class ColourInput { grey, greyAlpha, rgb, rgba, cmyk, cmykAlpha };

int bandsOf(ColourInput input);
bool hasAlpha(ColourInput input);

// Converts pixels from an embedded profile's colour space to sRGB: RGB, or
// RGBA with the alpha copied, at the input's depth (8 bits, or native
// uint16_t). Shared and safe to use from several threads at once.
class ColourConversion {
 public:
  // The conversion for pixels of `input` tagged with `profile`; absent when
  // none is needed or possible: no profile, one that describes sRGB (to
  // within half an 8-bit level), a damaged one, or one of another colour
  // space than the pixels. Conversions are kept for reuse by profile.
  static std::shared_ptr<const ColourConversion> forProfile(const std::vector<std::uint8_t>& profile,
                                                             ColourInput input, bool sixteen);

  virtual ~ColourConversion() = default;
  ColourInput input() const { return input_; }
  bool sixteen() const { return sixteen_; }
  int outputBands() const { return hasAlpha(input_) ? 4 : 3; }
  // Converts `pixels` pixels from `in` to `out`, which may be the same
  // buffer when input and output pixels have the same size.
  virtual void convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const = 0;

 protected:
  ColourConversion(ColourInput input, bool sixteen) : input_(input), sixteen_(sixteen) {}

 private:
  ColourInput input_;
  bool sixteen_;
};

// A compact ICC profile (version 4, parametric curves, under 600 bytes)
// describing sRGB, the same bytes on every call.
const std::vector<std::uint8_t>& srgbProfile();

}  // namespace imageio
