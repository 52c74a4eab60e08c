#include "internal.h"

namespace vision {
FeaturePrintObservation generateFeaturePrint(const Handler&) { throw Error("not built yet"); }
}  // namespace vision
