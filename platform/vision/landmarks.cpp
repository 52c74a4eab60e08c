#include "internal.h"

namespace vision {
std::vector<FaceObservation> detectFaceLandmarks(const Handler&) { throw Error("not built yet"); }
std::vector<FaceObservation> detectFaceCaptureQuality(const Handler&) { throw Error("not built yet"); }
}  // namespace vision
