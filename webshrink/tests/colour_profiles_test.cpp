// Pictures tagged with colour profiles give the gallery copy of their
// sRGB conversion.
#include <gtest/gtest.h>

#include "colour_pictures.h"

namespace {

using namespace colour_pictures;

TEST(ColourProfiles, GalleryCopiesAreTheSrgbConversion) {
  ASSERT_EQ(VIPS_INIT("webshrink_colour_profiles"), 0);
  ScratchDirectory dir;
  const auto pictures = makeTaggedPictures(dir.path);
  ASSERT_EQ(pictures.size(), 4u);
  for (const TaggedPicture& picture : pictures) {
    SCOPED_TRACE(picture.name);
    ASSERT_EQ(runProgram(dir.path, "webshrink", {picture.path, picture.path + ".out.jpg", "5000"}), 0);
    ASSERT_EQ(runProgram(dir.path, "webshrink", {picture.twin, picture.twin + ".out.jpg", "5000"}), 0);
    const Pixels made = storedPixels(picture.path + ".out.jpg");
    EXPECT_EQ(made.width, picture.width);
    EXPECT_LE(largestBlockDifference(made, storedPixels(picture.twin + ".out.jpg")), 2.0);
  }
}

}  // namespace
