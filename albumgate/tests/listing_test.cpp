// Dispatch, the access gate and the listing commands, run as the host runs them.

#include <fstream>

#include <sys/stat.h>

#include "harness.h"

namespace {

using namespace harness;

const char generalUsage[] =
    "Usage: albumgate <albums|album-info|album-assets|export-batch|assets-info|export-assets|import-files|"
    "existing-assets> ...\n";

std::vector<std::string> names(const json::Value& list) {
  std::vector<std::string> result;
  for (const auto& row : list["albums"]) result.push_back(row["name"].get<std::string>());
  return result;
}

std::vector<std::int64_t> indexes(const json::Value& list) {
  std::vector<std::int64_t> result;
  for (const auto& row : list["assets"]) result.push_back(row["index"].get<std::int64_t>());
  return result;
}

using Dispatch = Library;

TEST_F(Dispatch, UsageAndUnknownCommands) {
  const Finished none = albumgate({});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, generalUsage);
  struct stat info;
  EXPECT_NE(::stat(libraryDirectory().c_str(), &info), 0) << "the library must not be touched";

  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"album-info"}, "Usage: albumgate album-info <album-id>\n"},
      {{"album-info", "a", "b"}, "Usage: albumgate album-info <album-id>\n"},
      {{"album-info", "no such album"}, "Usage: albumgate album-info <album-id>\n"},
      {{"album-assets", "no such album"}, "Usage: albumgate album-assets <album-id>\n"},
      {{"export-batch", "a", "1", "x", root}, "Usage: albumgate export-batch <album-id> <start-index> <end-index> <output-dir>\n"},
      {{"export-batch", "a", " 1", "2", root}, "Usage: albumgate export-batch <album-id> <start-index> <end-index> <output-dir>\n"},
      {{"export-batch", "a", "1", "99999999999999999999", root}, "Usage: albumgate export-batch <album-id> <start-index> <end-index> <output-dir>\n"},
      {{"export-batch", "a", "+", "2", root}, "Usage: albumgate export-batch <album-id> <start-index> <end-index> <output-dir>\n"},
      {{"assets-info"}, "Usage: albumgate assets-info <local-identifier>...\n"},
      {{"export-assets", root}, "Usage: albumgate export-assets <output-dir> <local-identifier>...\n"},
      {{"import-files"}, "Usage: albumgate import-files <json-request>\n"},
      {{"existing-assets", "{}", "{}"}, "Usage: albumgate existing-assets <json-request>\n"},
      {{"Albums"}, "Unknown albumgate command: Albums\n"},
      {{"--help"}, "Unknown albumgate command: --help\n"},
  };
  for (const auto& [arguments, message] : cases) {
    const Finished done = albumgate(arguments);
    EXPECT_EQ(done.status, 1) << arguments[0];
    EXPECT_EQ(done.out, "");
    EXPECT_EQ(done.err, message);
  }
  // Signed indexes parse: the album is looked up next.
  EXPECT_EQ(albumgate({"export-batch", "nothing", "-3", "+7", root}).err, "PhotoKit album not found: nothing\n");
  // The first run asked for access and the owner was granted it.
  EXPECT_EQ(photolib({"access"}), std::vector<std::string>{"authorized"});
}

TEST_F(Dispatch, AccessStatesGateEveryCommand) {
  const std::string a = addPhoto("a.jpg");
  const std::string b = addPhoto("b.jpg");
  for (const char* state : {"denied", "restricted"}) {
    photolib({"access", state});
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"albums"}, {"no-such-command"}, {"assets-info", a}}) {
      const Finished done = albumgate(arguments);
      EXPECT_EQ(done.status, 1) << state;
      EXPECT_EQ(done.out, "");
      EXPECT_EQ(done.err, accessMessage);
    }
  }
  photolib({"access", "limited", b});
  const json::Value seen = albumgateJson({"assets-info", a, b});
  ASSERT_EQ(seen["assets"].size(), 1u);
  EXPECT_EQ(seen["assets"][0]["id"], b);
  EXPECT_EQ(seen["assets"][0]["index"], 2);
  EXPECT_EQ(albumgateJson({"existing-assets", R"({"identifiers":[")" + a + R"(",")" + b + R"("]})"}),
            json::parse(R"({"existing":[")" + b + R"("]})"));
}

TEST_F(Dispatch, PropertyListTravelsInTheExecutable) {
  const std::string binary = contents(ORVAN_BIN_DIR "/albumgate");
  EXPECT_NE(binary.find("<key>NSPhotoLibraryUsageDescription</key>\n\t<string>Orvan Library reads your selected "
                        "Apple Photos albums so it can import those photos into your local library.</string>"),
            std::string::npos);
  EXPECT_NE(binary.find("<key>NSPhotoLibraryAddUsageDescription</key>\n\t<string>Orvan Library adds only the full "
                        "rendered photo versions that you explicitly export to Apple Photos.</string>"),
            std::string::npos);
  EXPECT_EQ(binary.find("CFBundleIdentifier"), std::string::npos);
  EXPECT_EQ(albumgate({"--help"}).out, "");
}

using Listing = Library;

TEST_F(Listing, AlbumsAreTrimmedSortedAndListedOnce) {
  const std::string zebra = createAlbum("Zebra");
  const std::string apple = createAlbum("  apple  ");
  const std::string banana = createAlbum("Banana");
  const std::string blank1 = createAlbum("   ");
  const std::string blank2 = createAlbum("");
  const std::string photo = addPhoto("p.jpg");
  addToAlbum(apple, {photo});

  const json::Value list = albumgateJson({"albums", "ignored", "arguments"});
  std::vector<std::string> expected{"Album", "Album", "apple", "Banana", "Favorites", "Recents", "Zebra"};
  EXPECT_EQ(names(list), expected);
  // Equal names fall back to the identifiers.
  EXPECT_LT(list["albums"][0]["id"].get<std::string>(), list["albums"][1]["id"].get<std::string>());
  EXPECT_EQ(list["albums"][2], json::parse(R"({"id":")" + apple + R"(","itemCount":1,"name":"apple"})"));
  EXPECT_EQ(list["albums"][6]["itemCount"], 0);

  // album-info keeps the title as it is, and finds albums by display name too.
  const Finished info = albumgate({"album-info", apple});
  EXPECT_EQ(info.out, *json::write({{"id", apple}, {"itemCount", 1}, {"name", "  apple  "}}) + "\n");
  EXPECT_EQ(albumgateJson({"album-info", "apple"})["id"], apple);
  EXPECT_EQ(albumgateJson({"album-info", "Album"})["id"], std::min(blank1, blank2));
  EXPECT_EQ(albumgateJson({"album-assets", "apple"})["albumName"], "  apple  ");
  EXPECT_EQ(albumgateJson({"album-info", "Recents"})["itemCount"], 1);
  EXPECT_EQ(albumgate({"album-info", "APPLE"}).status, 1);
}

TEST_F(Listing, AlbumAssetsFollowCreationDatesWithGaps) {
  const std::string album = createAlbum("Trip");
  const std::string late = addPhoto("late.jpg", {"--date", "2023-07-14T09:05:00Z", "--location", "52.25,-0.125"}, 8, 6);
  const std::string early = addPhoto("early.jpg", {"--date", "2020-01-01T00:00:00Z"}, 4, 3);
  const std::string middle = addPhoto("middle.jpg", {"--date", "2021-06-01T12:00:00Z", "--name", "IMG_0002.JPG"});
  const std::string hidden = addPhoto("hidden.jpg", {"--date", "2022-01-01T00:00:00Z", "--hidden"});
  addToAlbum(album, {late, early, middle, hidden});
  photolib({"remove-files", middle});  // an image without any resource

  const json::Value list = albumgateJson({"album-assets", album});
  EXPECT_EQ(list["albumId"], album);
  EXPECT_EQ(list["albumName"], "Trip");
  EXPECT_EQ(indexes(list), (std::vector<std::int64_t>{1, 3}));
  const json::Value& first = list["assets"][0];
  EXPECT_EQ(first["id"], early);
  EXPECT_EQ(first["creationDate"], "2020-01-01T00:00:00Z");
  EXPECT_EQ(first["originalFilename"], "early.jpg");
  EXPECT_EQ(first["uniformTypeIdentifier"], "public.jpeg");
  EXPECT_EQ(first["pixelWidth"], 4);
  EXPECT_EQ(first["pixelHeight"], 3);
  EXPECT_FALSE(first.contains("latitude"));
  EXPECT_FALSE(first.contains("longitude"));
  const json::Value& last = list["assets"][1];
  EXPECT_EQ(last["id"], late);
  EXPECT_EQ(last["latitude"], 52.25);
  EXPECT_EQ(last["longitude"], -0.125);
  // Hidden assets are neither counted nor listed.
  EXPECT_EQ(albumgateJson({"album-info", album})["itemCount"], 3);
}

TEST_F(Listing, AssetsInfoKeepsArgumentPositionsAndDuplicates) {
  const std::string a = addPhoto("a.jpg");
  const std::string b = addPhoto("b.jpg");
  const std::string hidden = addPhoto("h.jpg", {"--hidden"});
  const json::Value list = albumgateJson({"assets-info", a, "missing/L0/001", b, a, hidden});
  EXPECT_EQ(list["albumId"], "");
  EXPECT_EQ(list["albumName"], "");
  EXPECT_EQ(indexes(list), (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_EQ(list["assets"][2]["id"], a);

  const Finished unknown = albumgate({"assets-info", "x", "y"});
  EXPECT_EQ(unknown.status, 0);
  EXPECT_EQ(unknown.out, "{\"albumId\":\"\",\"albumName\":\"\",\"assets\":[]}\n");
}

TEST_F(Listing, DamagedDatabaseFailsClearly) {
  addPhoto("a.jpg");
  // Overwrite every SQLite file of the library with garbage.
  int damaged = 0;
  for (const std::string& name : listDirectory(libraryDirectory())) {
    const std::string path = libraryDirectory() + "/" + name;
    if (contents(path).starts_with("SQLite format 3")) {
      std::ofstream(path, std::ios::binary | std::ios::in) << std::string(8192, 'x');
      ++damaged;
    }
  }
  ASSERT_GT(damaged, 0);
  const Finished done = albumgate({"albums"});
  EXPECT_EQ(done.status, 1);
  EXPECT_EQ(done.out, "");
  EXPECT_FALSE(done.err.empty());
  EXPECT_EQ(done.err.find('\n'), done.err.size() - 1) << done.err;
}

}  // namespace
