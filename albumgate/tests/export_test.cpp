// export-batch and export-assets: ranges, names, failures and exit status.

#include <fstream>

#include <unistd.h>

#include "harness.h"
#include "photos.h"

namespace {

using namespace harness;

using Export = Library;

TEST_F(Export, BatchClampsTheRangeAndNumbersEqualNames) {
  const std::string album = createAlbum("Holiday");
  std::vector<std::string> assets;
  for (int i = 0; i < 3; ++i) {
    assets.push_back(addPhoto("src" + std::to_string(i) + ".jpg",
                              {"--name", "IMG_0001.HEIC", "--date", "2020-01-0" + std::to_string(i + 1) + "T00:00:00Z"}));
  }
  assets.push_back(addPhoto("noext", {"--name", "scan", "--date", "2020-01-04T00:00:00Z"}));
  assets.push_back(addPhoto("noext2", {"--name", "scan", "--date", "2020-01-05T00:00:00Z"}));
  addToAlbum(album, assets);
  const std::string out = root + "/out/nested";

  const json::Value result = albumgateJson({"export-batch", "Holiday", "0", "999", out});
  EXPECT_EQ(result["albumId"], album);
  EXPECT_EQ(result["albumName"], "Holiday");
  EXPECT_EQ(result["startIndex"], 1);
  EXPECT_EQ(result["endIndex"], 5);
  EXPECT_EQ(result["completedIndexes"], json::parse("[1,2,3,4,5]"));
  EXPECT_EQ(result["failures"], json::Value::array());
  const std::vector<std::string> expected{"IMG_0001-2.HEIC", "IMG_0001-3.HEIC", "IMG_0001.HEIC", "scan", "scan-2"};
  EXPECT_EQ(listDirectory(out), expected);
  EXPECT_EQ(result["files"][1], out + "/IMG_0001-2.HEIC");
  EXPECT_EQ(result["assets"][1], json::parse(*json::write(
                                     {{"assetId", assets[1]}, {"file", out + "/IMG_0001-2.HEIC"}, {"index", 2}})));
  // The exported file is the original, byte for byte.
  EXPECT_EQ(contents(out + "/IMG_0001-2.HEIC"), contents(sources + "/src1.jpg"));

  // Existing files are never replaced: a second run numbers on.
  const json::Value again = albumgateJson({"export-batch", album, "2", "2", out});
  EXPECT_EQ(again["files"], json::parse(*json::write({out + "/IMG_0001-4.HEIC"})));

  for (const auto& [start, end] : {std::pair{"7", "3"}, std::pair{"-5", "0"}}) {
    const Finished empty = albumgate({"export-batch", album, start, end, root + "/empty"});
    EXPECT_EQ(empty.status, 0);
    const auto value = json::parse(empty.out);
    ASSERT_TRUE(value);
    EXPECT_EQ((*value)["assets"], json::Value::array());
    EXPECT_EQ((*value)["startIndex"], std::max(1, std::atoi(start)));
    EXPECT_EQ((*value)["endIndex"], std::atoi(end));
  }
  EXPECT_EQ(listDirectory(root + "/empty"), std::vector<std::string>{});
}

TEST_F(Export, FailuresAreReportedWithStatusTwo) {
  const std::string album = createAlbum("Mixed");
  const std::string good = addPhoto("good.jpg", {"--date", "2020-01-01T00:00:00Z"});
  const std::string purged = addPhoto("purged.jpg", {"--date", "2020-01-02T00:00:00Z"});
  const std::string lost = addPhoto("lost.jpg", {"--date", "2020-01-03T00:00:00Z"});
  addToAlbum(album, {good, purged, lost});
  photolib({"remove-files", purged});
  // The original of `lost` vanishes from the store behind the library's back.
  {
    auto library = photos::Library::open(libraryDirectory(), {.honourAccessState = false});
    const auto found = library->fetchAssets(std::vector<std::string>{lost}, {});
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(::unlink(library->storedFilePath(found[0].resources.at(0)).c_str()), 0);
  }

  const std::string out = root + "/out";
  const json::Value result = albumgateJson({"export-batch", album, "1", "3", out}, 2);
  EXPECT_EQ(result["completedIndexes"], json::parse("[1]"));
  ASSERT_EQ(result["failures"].size(), 2u);
  EXPECT_EQ(result["failures"][0],
            json::parse(*json::write({{"assetId", purged}, {"index", 2}, {"message", "Album item is not a supported photo."}})));
  EXPECT_EQ(result["failures"][1]["assetId"], lost);
  EXPECT_EQ(result["failures"][1]["index"], 3);
  EXPECT_FALSE(result["failures"][1]["message"].get<std::string>().empty());
  EXPECT_EQ(listDirectory(out), std::vector<std::string>{"good.jpg"});  // no partial file of `lost`

  const std::string assetsOut = root + "/assets";
  const json::Value byId = albumgateJson({"export-assets", assetsOut, "unknown-id", good, good, purged}, 2);
  EXPECT_EQ(byId["albumId"], "");
  EXPECT_EQ(byId["startIndex"], 1);
  EXPECT_EQ(byId["endIndex"], 4);
  EXPECT_EQ(byId["completedIndexes"], json::parse("[2,3]"));
  EXPECT_EQ(listDirectory(assetsOut), (std::vector<std::string>{"good-2.jpg", "good.jpg"}));
  EXPECT_EQ(byId["failures"][0],
            json::parse(R"({"assetId":"unknown-id","index":1,"message":"Photo not found in Apple Photos."})"));
  EXPECT_EQ(byId["failures"][1]["message"], "Item is not a supported photo.");
  EXPECT_EQ(albumgate({"export-assets", assetsOut, good}).status, 0);
}

TEST_F(Export, UnusableDestinationsFail) {
  const std::string album = createAlbum("A");
  std::ofstream(root + "/file") << "x";
  const Finished blocked = albumgate({"export-batch", album, "1", "1", root + "/file/sub"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.out, "");
  EXPECT_TRUE(blocked.err.starts_with("Cannot create PhotoKit export directory: ")) << blocked.err;
  EXPECT_TRUE(albumgate({"export-assets", root + "/file", "x"}).err.starts_with("Cannot create PhotoKit export directory: "));
  EXPECT_EQ(albumgate({"export-batch", "nope", "1", "1", root}).err, "PhotoKit album not found: nope\n");
}

}  // namespace
