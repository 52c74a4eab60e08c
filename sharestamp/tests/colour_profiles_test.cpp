// Pictures tagged with colour profiles are drawn in their sRGB conversion.
#include <gtest/gtest.h>

#include "colour_pictures.h"

namespace {

using namespace colour_pictures;

TEST(ColourProfiles, PhotosAreDrawnInTheirSrgbConversion) {
  ASSERT_EQ(VIPS_INIT("sharestamp_colour_profiles"), 0);
  ScratchDirectory dir;
  const auto pictures = makeTaggedPictures(dir.path);
  ASSERT_EQ(pictures.size(), 4u);
  for (const TaggedPicture& picture : pictures) {
    SCOPED_TRACE(picture.name);
    for (const std::string& path : {picture.path, picture.twin})
      ASSERT_EQ(runProgram(dir.path, "sharestamp",
                           {path, path + ".out.jpg", "Colours", "example.com", "Read on example.com"}),
                0);
    // The photo fills the 1080 × 720 canvas; the plaque is left out.
    const Pixels made = storedPixels(picture.path + ".out.jpg");
    ASSERT_EQ(made.height, 720);
    EXPECT_LE(largestBlockDifference(made, storedPixels(picture.twin + ".out.jpg"), 0, 0, 1080, 576), 2.0);
  }
}

}  // namespace
