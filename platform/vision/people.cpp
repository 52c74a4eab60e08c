#include "internal.h"

namespace vision {
std::vector<HumanObservation> detectHumanRectangles(const Handler&) { throw Error("not built yet"); }
}  // namespace vision
