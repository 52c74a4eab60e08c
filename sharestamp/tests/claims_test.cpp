// Files whose header claims a huge picture that their data cannot hold
// fail at once, in little memory, as photo or as logo.
#include <gtest/gtest.h>

#include "colour_pictures.h"
#include "picture_bombs.h"

namespace {

TEST(HeaderClaims, HugeClaimsFailFastInLittleMemory) {
  ASSERT_EQ(VIPS_INIT("sharestamp_claims"), 0);
  colour_pictures::ScratchDirectory dir;
  const std::string photo = dir.path + "/photo.png";
  ASSERT_EQ(vips_image_write_to_file(colour_pictures::photo().get(), photo.c_str(), nullptr), 0);
  for (const std::string& bomb : picture_bombs::bombs(dir.path)) {
    SCOPED_TRACE(bomb);
    auto run = picture_bombs::runMeasured(dir.path, "sharestamp",
                                          {bomb, dir.path + "/out.jpg", "T", "example.com", "See example.com"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Cannot read image: " + bomb + "\n");
    EXPECT_LT(run.peakKilobytes, 200 * 1024);
    // As a logo it is no logo (the fallback mark is drawn), and no error.
    run = picture_bombs::runMeasured(dir.path, "sharestamp",
                                     {photo, dir.path + "/out.jpg", "T", "example.com", "See example.com", bomb});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.peakKilobytes, 200 * 1024);
  }
}

}  // namespace
