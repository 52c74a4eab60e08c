// Fifty faces in one photo: every one found and hidden (or the run refused
// with error 11), within bounded memory. Long: labelled so that ./test.sh
// leaves it out.
#include "faces_helpers.h"

namespace {

using namespace veilpass_test;

class VeilpassCrowd : public FacesTest {};

TEST_F(VeilpassCrowd, FiftyFacesInOnePhoto) {
  ASSERT_TRUE(detectors_.ready());
  std::vector<Placed> faces;
  const Photo* sources[] = {&kAstronaut, &kHopper, &kPlayer, &kFootballer};
  for (int i = 0; i < 50; ++i) faces.push_back({sources[i % 4], 70.0 + (i % 5) * 6, (i % 3 - 1) * 10.0});
  const std::string crowd = composed("crowd.png", 1900, 1250, faces);
  // The program itself, for its peak memory.
  const Outcome r = veilpass({crowd, dir_ + "/crowd.jpg", "paint"});
  const auto summaryLine = json::parse(r.out);
  ASSERT_TRUE(summaryLine && summaryLine->is_object()) << r.out << r.err;
  const auto source = (*summaryLine)["sourceFaceCount"].get<std::int64_t>();
  std::printf("[ veilpass ] fifty faces: %lld found, status %d, %ld MB at peak\n", static_cast<long long>(source),
              r.status, r.peakKilobytes / 1024);
  EXPECT_GE(source, 45);
  EXPECT_LT(r.peakKilobytes, 1024 * 1024);
  // Every method, judged by all three detectors.
  const int refused = hideWithEveryMethod(crowd, 45);
  std::printf("[ veilpass ] fifty faces: %d of 3 runs refused with error 11\n", refused);
}

}  // namespace
