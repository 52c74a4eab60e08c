// The horizon result: the detector's angle turned into the correction that
// levels the picture, and its JSON.
#include <numbers>

#include "json.h"
#include "levelprobe.h"

namespace levelprobe {

HorizonResult horizonResult(const vision::HorizonObservation& observation) {
  HorizonResult result;
  result.angleDegrees = observation.angle * (-180.0) / std::numbers::pi;
  result.confidence = static_cast<double>(observation.confidence);
  return result;
}

std::optional<std::string> encodeResult(const HorizonResult& result) {
  json::Value value = json::Value::object();
  value["angleDegrees"] = result.angleDegrees;
  value["confidence"] = result.confidence;
  return json::write(value, {json::KeyOrder::sorted});
}

}  // namespace levelprobe
