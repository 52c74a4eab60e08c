// Titles and file names that are not UTF-8, and names too long to export
// as they are.

#include <sqlite3.h>

#include "harness.h"

namespace {

using namespace harness;

class Names : public Library {
 protected:
  // Changes the library's database behind its back, as a library written
  // before names were cleaned on the way in would hold them.
  void rewrite(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((libraryDirectory() + "/Photos.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
};

const std::string fffd = "\xEF\xBF\xBD";

TEST_F(Names, StoredNamesThatAreNotUtf8NeverStopTheOutput) {
  const std::string holiday = createAlbum("Holiday");
  const std::string second = createAlbum("second");
  const std::string third = createAlbum("third");
  const std::string photo = addPhoto("p.jpg");
  addToAlbum(holiday, {photo});
  rewrite("UPDATE collections SET title = CAST(X'486F6C69646179E9' AS TEXT) WHERE title = 'Holiday';"
          "UPDATE collections SET title = CAST(X'FF' AS TEXT) WHERE title = 'second';"
          "UPDATE collections SET title = CAST(X'FE' AS TEXT) WHERE title = 'third';"
          "UPDATE resources SET original_filename = CAST(X'636166E92E6A7067' AS TEXT);");

  // Every title comes back as the bytes it is, and two titles never alike.
  std::map<std::string, std::string> titles;
  const json::Value albums = albumgateJson({"albums"});
  for (const auto& row : albums["albums"]) titles[row["id"].get<std::string>()] = row["name"].get<std::string>();
  EXPECT_EQ(titles[holiday], "Holiday\xE9");
  EXPECT_EQ(titles[second], "\xFF");
  EXPECT_EQ(titles[third], "\xFE");
  EXPECT_EQ(albumgateJson({"album-info", holiday})["name"], "Holiday\xE9");
  const json::Value assets = albumgateJson({"album-assets", holiday});
  EXPECT_EQ(assets["albumName"], "Holiday\xE9");
  EXPECT_EQ(assets["assets"][0]["originalFilename"], "caf\xE9.jpg");
  EXPECT_EQ(albumgateJson({"assets-info", photo})["assets"][0]["originalFilename"], "caf\xE9.jpg");

  // An export that wrote a file reports it; the file's name is text.
  const std::string out = root + "/out";
  for (const auto& arguments : {std::vector<std::string>{"export-batch", holiday, "1", "9", out},
                                std::vector<std::string>{"export-assets", out, photo}}) {
    const json::Value exported = albumgateJson(arguments);
    ASSERT_EQ(exported["files"].size(), 1u) << exported.dump();
    EXPECT_EQ(exported["failures"], json::Value::array());
    EXPECT_EQ(contents(exported["files"][0]), contents(sources + "/p.jpg"));
  }
  EXPECT_EQ(listDirectory(out), (std::vector<std::string>{"caf" + fffd + "-2.jpg", "caf" + fffd + ".jpg"}));
}

TEST_F(Names, NamesAreCleanedOnTheWayIn) {
  const std::string latin1 = sources + "/l\xE4nder.jpg";
  writeJpeg(latin1, 4, 4);
  const std::string photo = photolib({"add", latin1}).at(0);
  const std::string album = photolib({"create-album", "Fr\xFChling"}).at(0);
  EXPECT_EQ(albumgateJson({"assets-info", photo})["assets"][0]["originalFilename"], "l" + fffd + "nder.jpg");
  EXPECT_EQ(albumgateJson({"album-info", album})["name"], "Fr" + fffd + "hling");

  // A path with bytes that are not UTF-8, as treeclerk reports it, names the
  // same file in an import request; the result hands it back the same way.
  const std::string request = R"({"files":[{"assetId":"h1","file":")" + sources +
                              R"(/l\udce4nder.jpg"}],"album":{"title":"T\udcff"}})";
  const Finished done = albumgate({"import-files", request});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find(R"(l\udce4nder.jpg")"), std::string::npos) << done.out;
  const json::Value imported = albumgateJson({"import-files", request});
  EXPECT_EQ(imported["imported"][0]["file"], latin1);
  EXPECT_EQ(imported["album"]["title"], "T\xFF");
  EXPECT_EQ(albumgateJson({"album-info", imported["album"]["localIdentifier"]})["name"], "T" + fffd);
}

TEST_F(Names, LongOriginalNamesAreExportedShortened) {
  std::string longName;
  for (int i = 0; i < 140; ++i) longName += "\xC5\x82";  // ł, two bytes
  longName += ".jpeg";
  const std::string first = addPhoto("a.jpg", {"--name", longName});
  const std::string second = addPhoto("b.jpg", {"--name", longName});
  const json::Value exported = albumgateJson({"export-assets", root + "/out", first, second});
  EXPECT_EQ(exported["failures"], json::Value::array());
  std::string kept;
  for (int i = 0; i < 125; ++i) kept += "\xC5\x82";
  EXPECT_EQ(listDirectory(root + "/out"),
            (std::vector<std::string>{kept.substr(0, 248) + "-2.jpeg", kept + ".jpeg"}));
}

}  // namespace
