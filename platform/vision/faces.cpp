#include "internal.h"

namespace vision {
namespace detail {
const std::vector<Handler::State::Face>& ensembleFaces(Handler::State&) { throw Error("not built yet"); }
}  // namespace detail
std::vector<FaceObservation> detectFaceRectangles(const Handler&) { throw Error("not built yet"); }
}  // namespace vision
