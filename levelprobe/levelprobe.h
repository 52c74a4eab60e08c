// levelprobe: the rotation, in degrees, that levels a photo's horizon, and
// the detector's confidence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vision.h"

namespace levelprobe {

// Pictures declaring more pixels than this are not decoded (decompression
// bombs): a gigapixel is beyond any camera.
inline constexpr std::uint64_t maxPixels = 1'000'000'000;

// The longer side the picture is decoded at, at most: twice what the
// horizon detector looks at, so that its own reduction does the rest.
inline constexpr int decodeEdge = 2 * vision::horizonWorkingEdge;

struct HorizonResult {
  double angleDegrees = 0;  // the correction: the horizon's angle negated, in degrees
  double confidence = 0;
};

// The correction for a detected horizon: angle × (−180) / π, not rounded.
HorizonResult horizonResult(const vision::HorizonObservation& observation);

// The result as compact JSON with sorted keys (no line feed); absent when it
// cannot be encoded (a number that is not finite).
std::optional<std::string> encodeResult(const HorizonResult& result);

}  // namespace levelprobe
