// import-files and existing-assets: transactions, album placement, bad
// requests, and libraries shared between processes.

#include <set>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace harness;

std::string quoted(const std::string& text) { return *json::write(text); }

json::Value fileRequest(const std::string& assetId, const std::string& file) {
  return {{"assetId", assetId}, {"file", file}};
}

std::string request(const json::Value& files, const json::Value& extra = json::Value::object()) {
  json::Value value = extra;
  value["files"] = files;
  return *json::write(value);
}

std::vector<std::string> albumMembers(const std::string& album) {
  std::vector<std::string> ids;
  const json::Value list = albumgateJson({"album-assets", album});
  for (const auto& row : list["assets"]) ids.push_back(row["id"].get<std::string>());
  return ids;
}

using Import = Library;

TEST_F(Import, FilesWithDatesAndNamesIntoANewAlbum) {
  writeJpeg(sources + "/render1.jpg", 10, 7);
  writeJpeg(sources + "/render2.jpg", 3, 5);
  json::Value first = fileRequest("host-1", sources + "/render1.jpg");
  first["creationDate"] = "2023-07-14T11:05:00+02:00";
  first["filename"] = "  my/photo.jpg \n";
  json::Value second = fileRequest("host-2", sources + "/render2.jpg");
  second["creationDate"] = "14 July 2023";
  second["filename"] = "   ";
  const json::Value result =
      albumgateJson({"import-files", request(json::Value::array({first, second}), {{"album", {{"title", "  Renders \n"}}}})});

  ASSERT_EQ(result["imported"].size(), 2u);
  EXPECT_EQ(result["imported"][0]["assetId"], "host-1");
  EXPECT_EQ(result["imported"][0]["file"], sources + "/render1.jpg");
  const std::string id1 = result["imported"][0]["localIdentifier"];
  const std::string id2 = result["imported"][1]["localIdentifier"];
  EXPECT_TRUE(id1.ends_with("/L0/001")) << id1;
  EXPECT_EQ(result["attached"], json::Value::array());
  EXPECT_FALSE(result.contains("albumError"));
  const json::Value& album = result["album"];
  EXPECT_EQ(album["created"], true);
  EXPECT_EQ(album["added"], 2);
  EXPECT_EQ(album["title"], "Renders");
  const std::string albumId = album["localIdentifier"];
  EXPECT_TRUE(albumId.ends_with("/L0/040")) << albumId;

  const json::Value info = albumgateJson({"assets-info", id1, id2});
  EXPECT_EQ(info["assets"][0]["originalFilename"], "my-photo.jpg");
  EXPECT_EQ(info["assets"][0]["creationDate"], "2023-07-14T09:05:00Z");
  EXPECT_EQ(info["assets"][0]["pixelWidth"], 10);
  EXPECT_EQ(info["assets"][0]["pixelHeight"], 7);
  EXPECT_EQ(info["assets"][1]["originalFilename"], "render2.jpg");
  EXPECT_EQ(albumgateJson({"album-info", albumId})["name"], "Renders");
  // The sources are copied, never moved.
  EXPECT_EQ(listDirectory(sources), (std::vector<std::string>{"render1.jpg", "render2.jpg"}));
}

TEST_F(Import, ExistingAlbumsAttachAndCountOnlyNewMembers) {
  const std::string album = createAlbum("Keep");
  const std::string member = addPhoto("member.jpg");
  const std::string hidden = addPhoto("hidden.jpg", {"--hidden"});
  addToAlbum(album, {member});
  writeJpeg(sources + "/new.jpg", 4, 4);
  const json::Value extra = {
      {"attach", {member, "unknown/L0/001", hidden}},
      {"album", {{"title", " Other title "}, {"localIdentifier", album}}},
      {"ignored", 1}};
  const std::string text = request(json::Value::array({fileRequest("n", sources + "/new.jpg")}), extra);

  const json::Value once = albumgateJson({"import-files", text});
  EXPECT_EQ(once["attached"], json::parse("[" + quoted(member) + "," + quoted(hidden) + "]"));
  EXPECT_EQ(once["album"], json::parse(*json::write(
                               {{"added", 2}, {"created", false}, {"localIdentifier", album}, {"title", "Other title"}})));
  const json::Value twice = albumgateJson({"import-files", text});
  EXPECT_EQ(twice["album"]["added"], 1);  // only the second new file
  EXPECT_NE(twice["imported"][0]["localIdentifier"], once["imported"][0]["localIdentifier"]);
  const std::vector<std::string> members = albumMembers(album);  // hidden ones are not listed
  EXPECT_EQ(members.size(), 3u);
  EXPECT_EQ(albumgateJson({"album-info", album})["name"], "Keep");

  // A smart album, or an identifier of nothing, gets a new album instead.
  std::string favorites;
  const json::Value albums = albumgateJson({"albums"});
  for (const auto& row : albums["albums"]) {
    if (row["name"] == "Favorites") favorites = row["id"];
  }
  ASSERT_FALSE(favorites.empty());
  for (const std::string& target : {favorites, std::string("nothing/L0/040"), std::string()}) {
    const json::Value placed = albumgateJson(
        {"import-files", request(json::Value::array(), {{"attach", {member}}, {"album", {{"title", ""}, {"localIdentifier", target}}}})});
    EXPECT_EQ(placed["album"]["created"], true);
    EXPECT_EQ(placed["album"]["title"], "");
    EXPECT_EQ(placed["album"]["added"], 1);
    EXPECT_EQ(albumgateJson({"album-info", placed["album"]["localIdentifier"].get<std::string>()})["name"], "Orvan Library");
  }
}

TEST_F(Import, NothingToDoChangesNothing) {
  const std::string photo = addPhoto("p.jpg");
  const std::string before = *json::write(albumgateJson({"albums"}));
  const Finished empty = albumgate({"import-files", R"({"files":[],"album":{"title":"X"}})"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "{\"attached\":[],\"imported\":[]}\n");
  EXPECT_EQ(albumgate({"import-files", request(json::Value::array(), {{"attach", {photo}}})}).out,
            "{\"attached\":[],\"imported\":[]}\n");
  EXPECT_EQ(*json::write(albumgateJson({"albums"})), before);

  EXPECT_EQ(albumgate({"existing-assets", R"({"identifiers":[]})"}).out, "{\"existing\":[]}\n");
  const std::string hidden = addPhoto("h.jpg", {"--hidden"});
  EXPECT_EQ(albumgateJson({"existing-assets", *json::write({{"identifiers", {"x", hidden, photo, hidden}}})}),
            json::parse("{\"existing\":[" + quoted(hidden) + "," + quoted(photo) + "]}"));
}

TEST_F(Import, BadRequestsAndMissingFilesImportNothing) {
  const std::string decode = "Cannot decode PhotoKit import request: ";
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  for (const std::string& text : {std::string("{"), std::string(R"({"files":[{"file":"/x"}]})"),
                                  "{\"files\":[],\"deep\":" + deep + "}"}) {
    const Finished done = albumgate({"import-files", text});
    EXPECT_EQ(done.status, 1) << text.substr(0, 40);
    EXPECT_EQ(done.out, "");
    EXPECT_TRUE(done.err.starts_with(decode) && done.err.find('\n') == done.err.size() - 1) << done.err;
  }
  const Finished existing = albumgate({"existing-assets", R"({"identifiers":[null]})"});
  EXPECT_TRUE(existing.err.starts_with("Cannot decode PhotoKit existing-assets request: ")) << existing.err;

  writeJpeg(sources + "/ok.jpg", 4, 4);
  for (const std::string& path : {sources + "/absent.jpg", sources}) {
    const Finished done =
        albumgate({"import-files", request(json::Value::array({fileRequest("a", sources + "/ok.jpg"), fileRequest("b", path)}))});
    EXPECT_EQ(done.status, 1);
    EXPECT_EQ(done.out, "");
    EXPECT_EQ(done.err, "Rendered photo file does not exist: " + path + "\n");
  }
  // A file that is not an image fails the whole transaction.
  std::ofstream(sources + "/text.jpg") << "not an image";
  const Finished bad =
      albumgate({"import-files", request(json::Value::array({fileRequest("a", sources + "/ok.jpg"), fileRequest("b", sources + "/text.jpg")}))});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.err.starts_with("PhotoKit could not add rendered photos: ")) << bad.err;
  EXPECT_EQ(photolib({"assets"}), std::vector<std::string>{});
}

TEST_F(Import, FileVanishingMidTransactionLeavesTheLibraryUnchanged) {
  addPhoto("before.jpg");
  const auto assetsBefore = photolib({"assets"});
  constexpr int count = 40;
  json::Value files = json::Value::array();
  for (int i = 0; i < count; ++i) {
    const std::string path = sources + "/r" + std::to_string(i) + ".jpg";
    writeJpeg(path, 64, 48, static_cast<unsigned char>(i));
    files.push_back(fileRequest("r" + std::to_string(i), path));
  }
  const std::string last = sources + "/r" + std::to_string(count - 1) + ".jpg";
  const auto storeBefore = run("/usr/bin/find", {libraryDirectory(), "-type", "f"}).out;

  // As soon as the transaction opens the first file, the last one goes away:
  // it passed the check before the transaction, and is gone when read.
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, sources.c_str(), IN_OPEN), 0);
  Finished done;
  std::thread importer([&] { done = albumgate({"import-files", request(files)}); });
  pollfd ready{watch, POLLIN, 0};
  const bool opened = ::poll(&ready, 1, 20000) == 1;
  ::unlink(last.c_str());
  importer.join();
  ::close(watch);
  ASSERT_TRUE(opened);

  EXPECT_EQ(done.status, 1);
  EXPECT_EQ(done.out, "");
  EXPECT_TRUE(done.err.starts_with("PhotoKit could not add rendered photos: ")) << done.err;
  EXPECT_EQ(photolib({"assets"}), assetsBefore);
  EXPECT_EQ(run("/usr/bin/find", {libraryDirectory(), "-type", "f"}).out, storeBefore);
}

TEST_F(Import, ConcurrentImportsLoseAndDuplicateNothing) {
  const std::string album = createAlbum("Shared");
  constexpr int perProcess = 12;
  std::string requests[2];
  for (int p = 0; p < 2; ++p) {
    json::Value files = json::Value::array();
    for (int i = 0; i < perProcess; ++i) {
      const std::string path = sources + "/p" + std::to_string(p) + "-" + std::to_string(i) + ".jpg";
      writeJpeg(path, 6, 4, static_cast<unsigned char>(i * 10));
      files.push_back(fileRequest("p" + std::to_string(p) + "-" + std::to_string(i), path));
    }
    requests[p] = request(files, {{"album", {{"title", "Shared"}, {"localIdentifier", album}}}});
  }
  Finished results[2];
  std::thread first([&] { results[0] = albumgate({"import-files", requests[0]}); });
  std::thread second([&] { results[1] = albumgate({"import-files", requests[1]}); });
  first.join();
  second.join();

  std::set<std::string> imported;
  int succeeded = 0;
  for (const Finished& result : results) {
    if (result.status != 0) {
      // A clean failure: a message and nothing imported by that process.
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_FALSE(result.err.empty());
      continue;
    }
    ++succeeded;
    const auto value = json::parse(result.out);
    ASSERT_TRUE(value);
    EXPECT_EQ((*value)["album"]["added"], perProcess);
    for (const auto& file : (*value)["imported"]) imported.insert(file["localIdentifier"].get<std::string>());
  }
  EXPECT_GE(succeeded, 1);
  EXPECT_EQ(imported.size(), static_cast<std::size_t>(succeeded * perProcess));
  EXPECT_EQ(photolib({"assets"}).size(), imported.size());
  const std::vector<std::string> members = albumMembers(album);
  EXPECT_EQ(std::set<std::string>(members.begin(), members.end()), imported);
  EXPECT_EQ(members.size(), imported.size());
}

}  // namespace
