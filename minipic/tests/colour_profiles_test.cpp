// Pictures tagged with colour profiles give thumbnails of their sRGB
// conversion.
#include <gtest/gtest.h>

#include "colour_pictures.h"

namespace {

using namespace colour_pictures;

TEST(ColourProfiles, ThumbnailsAreTheSrgbConversion) {
  ASSERT_EQ(VIPS_INIT("minipic_colour_profiles"), 0);
  ScratchDirectory dir;
  const auto pictures = makeTaggedPictures(dir.path);
  ASSERT_EQ(pictures.size(), 4u);
  std::string requests;
  for (const TaggedPicture& picture : pictures)
    for (const std::string& path : {picture.path, picture.twin})
      requests += R"({"id":"t","inputPath":")" + path + R"(","outputPath":")" + path + R"(.out.jpg","maxEdge":4096,"quality":0.95})" + "\n";
  ASSERT_EQ(runProgram(dir.path, "minipic", {}, requests), 0);
  for (const TaggedPicture& picture : pictures) {
    SCOPED_TRACE(picture.name);
    const Pixels made = storedPixels(picture.path + ".out.jpg");
    EXPECT_EQ(made.width, picture.width);
    EXPECT_LE(largestBlockDifference(made, storedPixels(picture.twin + ".out.jpg")), 2.0);
  }
}

}  // namespace
