// Real faces really disappear: on photos from Debian packages and on a group
// picture composed from them, no method leaves a face that our detector,
// dlib's HOG frontal detector or OpenCV's Haar frontal cascade finds in the
// output JPEG; or, when the verification still saw one, the run failed with
// error 11 and wrote nothing.
#include "faces_helpers.h"

namespace {

using namespace veilpass_test;

class VeilpassFaces : public FacesTest {};

TEST_F(VeilpassFaces, RealPhotosKeepNoFace) {
  ASSERT_TRUE(detectors_.ready());
  int refused = 0;
  // The independent detectors see each face before it is hidden, so that
  // their silence afterwards means something.
  for (const Photo* p : {&kAstronaut, &kHopper, &kPlayer, &kFootballer}) {
    const std::string path = photo(*p);
    const Detections before = detectors_.faces(path);
    EXPECT_GE(before.hog.size() + before.haar.size(), 1u) << p->name;
    refused += hideWithEveryMethod(path, 1);
  }
  // Neither HOG nor Haar finds the cameraman's turned face; ours does.
  refused += hideWithEveryMethod(photo(kCameraman), 1);
  std::printf("[ veilpass ] real photos: %d of 15 runs refused with error 11\n", refused);
}

TEST_F(VeilpassFaces, AComposedGroupKeepsNoFace) {
  ASSERT_TRUE(detectors_.ready());
  // 2400 × 1500: faces from 30 pixels (2 % of the shorter side) to 600
  // (40 %), several turned by up to 30 degrees.
  const std::vector<Placed> faces = {
      {&kHopper, 600, 0},   {&kAstronaut, 300, 15}, {&kHopper, 200, -30},    {&kAstronaut, 150, 30},
      {&kHopper, 120, -20}, {&kPlayer, 100, 0},     {&kFootballer, 80, -10}, {&kPlayer, 70, 10},
      {&kAstronaut, 60, 0}, {&kHopper, 45, 20},     {&kPlayer, 40, 0},       {&kAstronaut, 35, -25},
      {&kFootballer, 30, 0},
  };
  const std::string group = composed("group.png", 2400, 1500, faces);
  const int refused = hideWithEveryMethod(group, faces.size() * 9 / 10);
  std::printf("[ veilpass ] group: %d of 3 runs refused with error 11\n", refused);
}

}  // namespace
