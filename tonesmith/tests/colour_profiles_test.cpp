// Pictures tagged with colour profiles are rendered in sRGB: as lcms2
// converts their pixels, in PNG and in JPEG, at 8 and 16 bits.
#include <gtest/gtest.h>

#include "colour_pictures.h"

namespace {

using namespace colour_pictures;

TEST(ColourProfiles, RendersComeOutAsLcmsConvertsTheSource) {
  ASSERT_EQ(VIPS_INIT("tonesmith_colour_profiles"), 0);
  ScratchDirectory dir;
  const auto pictures = makeTaggedPictures(dir.path);
  ASSERT_EQ(pictures.size(), 4u);
  auto render = [&](const std::string& in, const std::string& out) {
    return runProgram(dir.path, "tonesmith", {in, out, "0", "0", "", "0", "0", "0", "1", "1"});
  };
  for (const TaggedPicture& picture : pictures) {
    SCOPED_TRACE(picture.name);
    const std::string png = picture.path + ".out.png";
    ASSERT_EQ(render(picture.path, png), 0);
    const Pixels rendered = storedPixels(png);
    EXPECT_EQ(rendered.bits, picture.bits);  // a 16-bit source gives a 16-bit PNG
    EXPECT_LE(largestDifference(picture, rendered.data.data(), rendered.bits, rendered.bands, rendered.rowBytes()),
              2.0);
    // Tagged sRGB: an sRGB chunk in the PNG, an ICC profile in the JPEG.
    const auto pngBytes = fileBytes(png);
    EXPECT_NE(std::string(pngBytes.begin(), pngBytes.end()).find("sRGB"), std::string::npos);
    // The JPEG writer gives what it gives for the converted twin, block by block.
    ASSERT_EQ(render(picture.path, picture.path + ".out.jpg"), 0);
    const auto jpegBytes = fileBytes(picture.path + ".out.jpg");
    EXPECT_NE(std::string(jpegBytes.begin(), jpegBytes.end()).find(std::string("ICC_PROFILE\0", 12)), std::string::npos);
    ASSERT_EQ(render(picture.twin, picture.twin + ".out.jpg"), 0);
    EXPECT_LE(largestBlockDifference(storedPixels(picture.path + ".out.jpg"), storedPixels(picture.twin + ".out.jpg")),
              2.0);
  }
}

}  // namespace
