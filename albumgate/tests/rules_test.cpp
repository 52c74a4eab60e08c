// The program's own text rules: dates, file names, destinations, album order
// and request decoding.

#include <cstdlib>
#include <fstream>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "albumgate.h"

namespace {

using namespace albumgate;

TEST(Dates, FormatAndParseRoundTrip) {
  EXPECT_EQ(formatIso8601(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatIso8601(1689325500), "2023-07-14T09:05:00Z");
  EXPECT_EQ(formatIso8601(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatIso8601(253402300799), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatIso8601(-62135596800), "0001-01-01T00:00:00Z");
  EXPECT_EQ(parseIso8601("2023-07-14T09:05:00Z"), 1689325500);
  EXPECT_EQ(parseIso8601("2023-07-14T11:05:00+02:00"), 1689325500);
  EXPECT_EQ(parseIso8601("2023-07-14T06:35:00-0230"), 1689325500);
  EXPECT_EQ(parseIso8601("2024-02-29T00:00:00Z"), 1709164800);
}

TEST(Dates, OtherFormsDoNotParse) {
  for (const char* text : {"", "2023-07-14", "2023-07-14T09:05:00", "2023-07-14T09:05:00.5Z", "2023-07-14 09:05:00Z",
                           "2023-13-01T00:00:00Z", "2023-02-29T00:00:00Z", "2023-07-14T24:00:00Z",
                           "2023-07-14T09:05:00z", "2023-07-14T09:05:00+2:00", "2023-07-14T09:05:00Zjunk",
                           "+023-07-14T09:05:00Z"}) {
    EXPECT_FALSE(parseIso8601(text)) << text;
  }
}

TEST(Filenames, SeparatorsAndControlsBecomeDashes) {
  EXPECT_EQ(safeFilename("IMG_0001.HEIC"), "IMG_0001.HEIC");
  EXPECT_EQ(safeFilename("a/b:c\\d"), "a-b-c-d");
  EXPECT_EQ(safeFilename("//a//b//"), "a-b");
  EXPECT_EQ(safeFilename("a\tb\x01" "c"), "a-b-c");
  EXPECT_EQ(safeFilename("a\u200Bb"), "a-b");  // a format character (Cf)
  EXPECT_EQ(safeFilename("/:\\"), "photo");
  EXPECT_EQ(safeFilename(""), "photo");
  EXPECT_EQ(safeFilename(" \u00A0 name.jpg \u2003"), "name.jpg");
  EXPECT_EQ(safeFilename("  "), "photo");
  EXPECT_EQ(safeFilename("Zdjęcie ładne.jpg"), "Zdjęcie ładne.jpg");
  EXPECT_EQ(trimmed(" \t\n Holiday \r\n"), "Holiday");
  EXPECT_EQ(trimmed("\u3000"), "");
}

TEST(Filenames, UniqueDestinationsAreNumbered) {
  char pattern[] = "/tmp/albumgate-rules-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const auto touch = [](const std::string& path) { std::ofstream(path) << "x"; };
  EXPECT_EQ(uniqueDestination(dir, "IMG_0001.HEIC"), dir + "/IMG_0001.HEIC");
  touch(dir + "/IMG_0001.HEIC");
  EXPECT_EQ(uniqueDestination(dir + "/", "IMG_0001.HEIC"), dir + "/IMG_0001-2.HEIC");
  touch(dir + "/IMG_0001-2.HEIC");
  EXPECT_EQ(uniqueDestination(dir, "IMG_0001.HEIC"), dir + "/IMG_0001-3.HEIC");
  touch(dir + "/scan");
  EXPECT_EQ(uniqueDestination(dir, "scan"), dir + "/scan-2");
  ::mkdir((dir + "/archive.tar.gz").c_str(), 0755);  // a directory counts as taken
  EXPECT_EQ(uniqueDestination(dir, "archive.tar.gz"), dir + "/archive.tar-2.gz");
  touch(dir + "/.hidden");
  EXPECT_EQ(uniqueDestination(dir, ".hidden"), dir + "/.hidden-2");
  EXPECT_EQ(uniqueDestination(dir, "a/b.jpg"), dir + "/a-b.jpg");
  ::symlink("/nonexistent", (dir + "/dangling.jpg").c_str());  // so does a dangling link
  EXPECT_EQ(uniqueDestination(dir, "dangling.jpg"), dir + "/dangling-2.jpg");

  // A batch's kept number: the search resumes at the last name chosen, which
  // is chosen again while nothing was written there.
  long number = 0;
  EXPECT_EQ(uniqueDestination(dir, "IMG_0001.HEIC", number), dir + "/IMG_0001-3.HEIC");
  EXPECT_EQ(number, 3);
  EXPECT_EQ(uniqueDestination(dir, "IMG_0001.HEIC", number), dir + "/IMG_0001-3.HEIC");
  touch(dir + "/IMG_0001-3.HEIC");
  touch(dir + "/IMG_0001-4.HEIC");
  EXPECT_EQ(uniqueDestination(dir, "IMG_0001.HEIC", number), dir + "/IMG_0001-5.HEIC");
  EXPECT_EQ(number, 5);
  number = 1;
  EXPECT_EQ(uniqueDestination(dir, "new.jpg", number), dir + "/new.jpg");
  EXPECT_EQ(number, 1);
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Filenames, NamesThatAreNotUtf8GetReplacementCharacters) {
  EXPECT_EQ(safeFilename("caf\xE9.jpg"), "caf\xEF\xBF\xBD.jpg");
  EXPECT_EQ(safeFilename("\xFF\xFE/x"), "\xEF\xBF\xBD\xEF\xBF\xBD-x");
}

TEST(Filenames, LongNamesAreShortenedOnACharacterBoundary) {
  char pattern[] = "/tmp/albumgate-rules-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const auto repeat = [](const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  struct Case {
    const char* what;
    std::string original;
    std::string first;   // the name chosen first
    std::string second;  // the name chosen when the first is taken
  };
  const Case cases[] = {
      {"exactly the longest", repeat("a", 251) + ".jpg", repeat("a", 251) + ".jpg", repeat("a", 249) + "-2.jpg"},
      {"one byte too long", repeat("b", 252) + ".jpg", repeat("b", 251) + ".jpg", repeat("b", 249) + "-2.jpg"},
      {"two-byte characters", repeat("\xC3\xA9", 150) + ".jpeg", repeat("\xC3\xA9", 125) + ".jpeg",
       repeat("\xC3\xA9", 124) + "-2.jpeg"},
      {"three-byte characters", repeat("\xE2\x82\xAC", 100) + ".jpg", repeat("\xE2\x82\xAC", 83) + ".jpg",  // 253 bytes
       repeat("\xE2\x82\xAC", 83) + "-2.jpg"},
      {"no extension", repeat("x", 300), repeat("x", 255), repeat("x", 253) + "-2"},
      {"an extension too long to keep", "c." + repeat("d", 300), "c." + repeat("d", 253),
       "c." + repeat("d", 251) + "-2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string first = uniqueDestination(dir, c.original);
    EXPECT_EQ(first, dir + "/" + c.first);
    std::ofstream created(first);
    ASSERT_TRUE(created.good()) << "cannot create " << first.size() - dir.size() - 1 << " bytes";
    created.close();
    const std::string second = uniqueDestination(dir, c.original);
    EXPECT_EQ(second, dir + "/" + c.second);
    EXPECT_TRUE(std::ofstream(second).good());
  }
  std::system(("rm -rf '" + dir + "'").c_str());
}

std::vector<std::string> sortedNames(std::vector<AlbumRow> rows) {
  sortAlbumRows(rows);
  std::vector<std::string> order;
  for (const auto& row : rows) order.push_back(row.name + "#" + row.id);
  return order;
}

TEST(AlbumOrder, IgnoresCaseThenUsesIdentifier) {
  EXPECT_EQ(sortedNames({{"3", 0, "Zebra"}, {"1", 0, "Apple"}, {"2", 0, "banana"}, {"4", 0, "Cherry"}}),
            (std::vector<std::string>{"Apple#1", "banana#2", "Cherry#4", "Zebra#3"}));
  EXPECT_EQ(sortedNames({{"b", 0, "Album"}, {"a", 0, "album"}, {"c", 0, "ALBUM"}}),
            (std::vector<std::string>{"album#a", "Album#b", "ALBUM#c"}));
  // Letters with accents sort with their base letters, not after "z".
  EXPECT_EQ(sortedNames({{"1", 0, "zoo"}, {"2", 0, "Émile"}, {"3", 0, "eagle"}}),
            (std::vector<std::string>{"eagle#3", "Émile#2", "zoo#1"}));
}

TEST(Requests, DecodeImportFiles) {
  const auto decoded = decodeImportFilesRequest(
      R"({"files":[{"assetId":"a1","file":"/x.jpg","creationDate":"2023-07-14T09:05:00Z","filename":null,"extra":1}],)"
      R"("attach":["id1"],"album":{"title":" T ","localIdentifier":"L"},"unknown":{}})");
  ASSERT_TRUE(decoded.request) << decoded.error;
  const ImportFilesRequest& request = *decoded.request;
  ASSERT_EQ(request.files.size(), 1u);
  EXPECT_EQ(request.files[0].assetId, "a1");
  EXPECT_EQ(request.files[0].creationDate, "2023-07-14T09:05:00Z");
  EXPECT_FALSE(request.files[0].filename);
  EXPECT_EQ(request.attach, std::vector<std::string>{"id1"});
  ASSERT_TRUE(request.album);
  EXPECT_EQ(request.album->title, " T ");
  EXPECT_EQ(request.album->localIdentifier, "L");

  const auto minimal = decodeImportFilesRequest(R"({"files":[]})");
  ASSERT_TRUE(minimal.request);
  EXPECT_FALSE(minimal.request->attach);
  EXPECT_FALSE(minimal.request->album);
}

TEST(Requests, WrongShapesFailWithADescription) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "not valid JSON"},
      {"{\"files\":[]", "not valid JSON"},
      {"[]", "\"request\" is not an object"},
      {"{}", "\"files\" is missing"},
      {R"({"files":{}})", "\"files\" is not an array"},
      {R"({"files":[{"file":"/x"}]})", "\"files[0].assetId\" is missing"},
      {R"({"files":[{"assetId":1,"file":"/x"}]})", "\"files[0].assetId\" is not a string"},
      {R"({"files":[{"assetId":"a","file":"/x","filename":7}]})", "\"files[0].filename\" is not a string"},
      {R"({"files":[],"attach":["a",2]})", "\"attach[1]\" is not a string"},
      {R"({"files":[],"album":{}})", "\"album.title\" is missing"},
      {R"({"files":[],"album":"x"})", "\"album\" is not an object"},
      {"{\"files\":[],\"x\":\"\xff\"}", "not valid JSON"},
  };
  for (const auto& [text, expected] : cases) {
    const auto decoded = decodeImportFilesRequest(text);
    EXPECT_FALSE(decoded.request) << text;
    EXPECT_NE(decoded.error.find(expected), std::string::npos) << text << " -> " << decoded.error;
  }
  // Hostile nesting is refused before it costs anything.
  const std::string deep = "{\"files\":[],\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(decodeImportFilesRequest(deep).request);
  EXPECT_FALSE(decodeExistingAssetsRequest(R"({"identifiers":"a"})").request);
  EXPECT_FALSE(decodeExistingAssetsRequest(R"({"identifiers":null})").request);
  ASSERT_TRUE(decodeExistingAssetsRequest(R"({"identifiers":["a","a"]})").request);
}

TEST(Output, RecordsOmitAbsentKeys) {
  AssetRow row;
  row.id = "A/L0/001";
  row.index = 3;
  row.originalFilename = "x.jpg";
  row.uniformTypeIdentifier = "public.jpeg";
  row.pixelWidth = 4;
  row.pixelHeight = 2;
  EXPECT_EQ(*json::write(toJson(row)),
            R"({"id":"A\/L0\/001","index":3,"originalFilename":"x.jpg","pixelHeight":2,"pixelWidth":4,)"
            R"("uniformTypeIdentifier":"public.jpeg"})");
  row.latitude = 52.25;
  row.longitude = -0.5;
  row.creationDate = "2023-07-14T09:05:00Z";
  EXPECT_EQ(*json::write(toJson(row)),
            R"({"creationDate":"2023-07-14T09:05:00Z","id":"A\/L0\/001","index":3,"latitude":52.25,)"
            R"("longitude":-0.5,"originalFilename":"x.jpg","pixelHeight":2,"pixelWidth":4,)"
            R"("uniformTypeIdentifier":"public.jpeg"})");
  ExportBatchResult result;
  result.failures.push_back({std::nullopt, 1, "m"});
  EXPECT_EQ(*json::write(toJson(result)),
            R"({"albumId":"","albumName":"","assets":[],"completedIndexes":[],"endIndex":0,)"
            R"("failures":[{"index":1,"message":"m"}],"files":[],"startIndex":0})");
  AssetRow bare = row;
  bare.creationDate.reset();
  bare.latitude.reset();
  bare.modificationDate = "2024-01-02T03:04:05Z";
  bare.originalFilename = "\"caf\xc3\xa9\"/\\.jpg";
  AssetList list{"L/L0/040", "Trip", {row, bare, row}};
  EXPECT_EQ(encodeAssetList(list), json::write(toJson(list)));
  EXPECT_EQ(encodeAssetList(AssetList{"L/L0/040", "", {}}), json::write(toJson(AssetList{"L/L0/040", "", {}})));
  list.assets[1].longitude = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(encodeAssetList(list));
  list.assets[1].longitude.reset();
  // Text that is not UTF-8 is written with \udcXX escapes, never refused.
  list.assets[2].uniformTypeIdentifier = "\xff";
  EXPECT_NE(encodeAssetList(list).value_or("").find(R"("uniformTypeIdentifier":"\udcff")"), std::string::npos);
  list.assets.clear();
  list.albumName = "\xff";
  EXPECT_EQ(encodeAssetList(list), R"({"albumId":"L\/L0\/040","albumName":"\udcff","assets":[]})");
  ImportFilesResult imported;
  imported.albumError = "e";
  EXPECT_EQ(*json::write(toJson(imported)), R"({"albumError":"e","attached":[],"imported":[]})");
}

}  // namespace
