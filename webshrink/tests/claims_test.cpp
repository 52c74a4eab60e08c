// Files whose header claims a huge picture that their data cannot hold
// fail at once, in little memory.
#include <gtest/gtest.h>

#include "colour_pictures.h"
#include "picture_bombs.h"

namespace {

TEST(HeaderClaims, HugeClaimsFailFastInLittleMemory) {
  colour_pictures::ScratchDirectory dir;
  for (const std::string& bomb : picture_bombs::bombs(dir.path)) {
    SCOPED_TRACE(bomb);
    const auto run = picture_bombs::runMeasured(dir.path, "webshrink", {bomb, dir.path + "/out.jpg", "2048"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Cannot read image: " + bomb + "\n");
    EXPECT_LT(run.peakKilobytes, 200 * 1024);
  }
}

}  // namespace
