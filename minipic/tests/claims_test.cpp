// Files whose header claims a huge picture that their data cannot hold
// fail at once, in little memory, and the worker goes on.
#include <gtest/gtest.h>

#include "colour_pictures.h"
#include "picture_bombs.h"

namespace {

TEST(HeaderClaims, HugeClaimsFailFastInLittleMemory) {
  colour_pictures::ScratchDirectory dir;
  std::string requests, expected;
  for (const std::string& bomb : picture_bombs::bombs(dir.path)) {
    requests += R"({"id":"b","inputPath":")" + bomb + R"(","outputPath":")" + dir.path + R"(/t.jpg","maxEdge":256})" + "\n";
    expected += R"({"id":"b","ok":false,"error":"cannot_decode_thumbnail"})" "\n";
  }
  const auto run = picture_bombs::runMeasured(dir.path, "minipic", {}, requests);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  EXPECT_LT(run.peakKilobytes, 200 * 1024);
}

}  // namespace
