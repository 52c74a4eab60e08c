// The photolib command, and several processes writing one library at once.
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "fixture.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs a shell command line with XDG_DATA_HOME set to `dataHome`; standard
// error goes to standard output.
Outcome shell(const std::string& dataHome, const std::string& commandLine) {
  const std::string full = "export XDG_DATA_HOME='" + dataHome + "'; { " + commandLine + "; } 2>&1";
  Outcome run;
  FILE* pipe = ::popen(full.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const std::string photolib = std::string(ORVAN_BIN_DIR) + "/photolib";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

class PhotolibTest : public LibraryTest {
 protected:
  Outcome photolibRun(const std::string& arguments) { return shell(root, photolib + " " + arguments); }
  std::string dataLibrary() const { return root + "/Orvan Photos Library"; }
};

}  // namespace

TEST_F(PhotolibTest, ManagesAlbumsAssetsAndAccess) {
  EXPECT_EQ(photolibRun("path").out, dataLibrary() + "\n");
  EXPECT_EQ(photolibRun("access").out, "not-determined\n");
  const std::string a = writeJpeg("a.jpg", 30, 20);
  const std::string b = writeJpeg("b.jpg", 10, 40);

  const Outcome added =
      photolibRun("add --album Trip --date 2023-07-14T09:05:00Z --name 'My Photo.jpg' " + a + " " + b);
  ASSERT_EQ(added.status, 0) << added.out;
  const auto ids = lines(added.out);
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_EQ(photolibRun("hide " + ids[1]).status, 0);
  ASSERT_EQ(photolibRun("favorite " + ids[0]).status, 0);

  const auto albums = lines(photolibRun("albums").out);
  ASSERT_EQ(albums.size(), 3u);
  EXPECT_NE(albums[0].find("\talbum\t2\tTrip"), std::string::npos);
  EXPECT_NE(albums[1].find("\tsmart\t1\tFavorites"), std::string::npos);
  EXPECT_EQ(photolibRun("assets Trip").out,
            ids[0] + "\timage\t30x20\t2023-07-14T09:05:00Z\tfavorite\tMy Photo.jpg\n" + ids[1] +
                "\timage\t10x40\t2023-07-14T09:05:00Z\thidden\tMy Photo.jpg\n");

  ASSERT_EQ(photolibRun("access limited " + ids[0]).status, 0);
  EXPECT_EQ(photolibRun("access").out, "limited\n" + ids[0] + "\n");
  auto app = photos::Library::open(dataLibrary());
  EXPECT_EQ(identifiersOf(app->fetchAllAssets(withHidden())), std::vector<std::string>{ids[0]});

  // Mistakes: a clear message and a failure status.
  EXPECT_EQ(photolibRun("access sometimes").status, 2);
  EXPECT_EQ(photolibRun("access denied " + ids[0]).status, 2);
  EXPECT_EQ(photolibRun("frobnicate").status, 2);
  EXPECT_EQ(photolibRun("add --date yesterday " + a).status, 2);
  const Outcome missing = photolibRun("add " + path("nothing.jpg"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out.rfind("photolib: ", 0), 0u) << missing.out;
  EXPECT_EQ(photolibRun("hide 00000000-0000-4000-8000-000000000000/L0/001").status, 1);
  EXPECT_EQ(photolibRun("--help").status, 0);
}

TEST_F(PhotolibTest, ConcurrentWritersLoseAndDuplicateNothing) {
  std::string album;
  {
    auto library = photos::Library::open(dataLibrary(), {.honourAccessState = false});
    ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
      album = *changes.createAlbum("Shared").placeholderLocalIdentifier();
    }),
              std::nullopt);
  }
  const std::string file = writeJpeg("p.jpg", 8, 8);
  // Two writers, each importing one file per transaction, twelve times.
  const std::string loop = "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do '" + photolib + "' add --album " + album +
                           " " + file + " || echo FAILED; done";
  const Outcome both = shell(root, "(" + loop + ") & (" + loop + ") & wait");
  EXPECT_EQ(both.out.find("FAILED"), std::string::npos) << both.out;
  const auto reported = lines(both.out);
  EXPECT_EQ(reported.size(), 24u);

  auto library = photos::Library::open(dataLibrary(), {.honourAccessState = false});
  const auto all = identifiersOf(library->fetchAllAssets({}));
  EXPECT_EQ(all.size(), 24u);
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()),
            std::set<std::string>(reported.begin(), reported.end()));
  const auto members =
      identifiersOf(library->fetchAssets(library->fetchCollections(std::vector{album}).at(0), {}));
  EXPECT_EQ(std::set<std::string>(members.begin(), members.end()).size(), 24u);
  EXPECT_EQ(storedFiles().size(), 0u);  // storedFiles looks in the fixture's own library
  std::size_t originals = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dataLibrary() + "/originals"))
    originals += entry.is_regular_file();
  EXPECT_EQ(originals, 24u);
  EXPECT_TRUE(std::filesystem::is_empty(dataLibrary() + "/incoming"));
}

TEST_F(PhotolibTest, DamagedDatabaseGivesAMessageNotACrash) {
  ASSERT_EQ(photolibRun("albums").status, 0);
  writeWhole(dataLibrary() + "/Photos.sqlite", std::string(4096, '\x7f'));
  const Outcome run = photolibRun("albums");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("is damaged"), std::string::npos) << run.out;
}
