// The store: transactions, fetches, access state, export, damaged databases.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "fixture.h"

namespace {

using photos::AuthorizationStatus;
using photos::CollectionType;

// Runs one export and waits for its completion, as a caller on the main thread does.
std::optional<std::string> exportAndWait(const photos::Library& library,
                                         const photos::AssetResource& resource, const std::string& path) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<std::optional<std::string>> answer;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> otherThread{false};
  library.writeResourceData(resource, path, {}, [&](std::optional<std::string> error) {
    otherThread = std::this_thread::get_id() != caller;
    std::lock_guard lock(mutex);
    answer = std::move(error);
    done.notify_one();
  });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return answer.has_value(); });
  EXPECT_TRUE(otherThread);
  return *answer;
}

// Requests access and waits for the one answer.
AuthorizationStatus requestAndWait(const std::string& directory) {
  std::atomic<int> answer{-1};
  photos::requestAuthorization(directory, photos::AccessLevel::readWrite,
                               [&](AuthorizationStatus status) { answer = static_cast<int>(status); });
  while (answer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return static_cast<AuthorizationStatus>(answer.load());
}

std::int64_t sqliteInteger(const std::string& database, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(database.c_str(), &db);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  const std::int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

void sqliteExecute(const std::string& database, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(database.c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

}  // namespace

TEST_F(LibraryTest, NewLibraryHasItsSmartAlbumsAndRecordsItsSchema) {
  auto library = openForOwner();
  const auto smart = library->fetchCollections(CollectionType::smartAlbum);
  ASSERT_EQ(smart.size(), 2u);
  EXPECT_EQ(smart[0].localizedTitle, "Favorites");
  EXPECT_EQ(smart[0].subtype, photos::CollectionSubtype::smartAlbumFavorites);
  EXPECT_EQ(smart[1].localizedTitle, "Recents");
  EXPECT_TRUE(std::regex_match(smart[0].localIdentifier,
                               std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}/L0/040")));
  EXPECT_TRUE(library->fetchCollections(CollectionType::album).empty());
  const std::string database = libraryDirectory() + "/Photos.sqlite";
  EXPECT_EQ(sqliteInteger(database, "PRAGMA user_version"), 1);
  EXPECT_EQ(sqliteInteger(database, "SELECT count(*) FROM collections"), 2);  // reopening adds nothing
  library.reset();
  EXPECT_EQ(openForOwner()->fetchCollections(CollectionType::smartAlbum).size(), 2u);
}

TEST_F(LibraryTest, CreatedAssetIsACopyWithTheFileProperties) {
  auto library = openForOwner();
  const std::string file = writeJpeg("picture.jpg", 64, 48);
  std::string identifier;
  const auto error = library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    auto& request = changes.createAsset();
    request.setCreationDate(dateAt(1689325500));
    request.setLocation(photos::Location{46.5, 7.25});
    request.addResource(photos::ResourceType::photo, file, {.originalFilename = "Holiday.JPG"});
    identifier = *request.placeholderLocalIdentifier();
  });
  ASSERT_EQ(error, std::nullopt);
  EXPECT_TRUE(std::regex_match(identifier, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}/L0/001")));
  EXPECT_TRUE(std::filesystem::exists(file));  // copied, not moved

  const auto assets = library->fetchAssets(std::vector<std::string>{identifier}, {});
  ASSERT_EQ(assets.size(), 1u);
  const photos::Asset& asset = assets[0];
  EXPECT_EQ(asset.mediaType, photos::MediaType::image);
  EXPECT_EQ(asset.pixelWidth, 64);
  EXPECT_EQ(asset.pixelHeight, 48);
  EXPECT_EQ(asset.creationDate, dateAt(1689325500));
  EXPECT_TRUE(asset.modificationDate.has_value());
  ASSERT_TRUE(asset.location.has_value());
  EXPECT_EQ(asset.location->latitude, 46.5);
  ASSERT_EQ(asset.resources.size(), 1u);
  EXPECT_EQ(asset.resources[0].originalFilename, "Holiday.JPG");
  EXPECT_EQ(asset.resources[0].uniformTypeIdentifier, "public.jpeg");
  EXPECT_EQ(asset.resources[0].type, photos::ResourceType::photo);
  const std::string stored = library->storedFilePath(asset.resources[0]);
  EXPECT_NE(stored, file);
  EXPECT_EQ(readWhole(stored), readWhole(file));
  EXPECT_EQ(storedFiles().size(), 1u);  // nothing left in incoming/
}

TEST_F(LibraryTest, PixelSizeIsUpright) {
  auto library = openForOwner();
  const std::string turned = addPhoto(*library, writeJpeg("turned.jpg", 40, 20, 6));
  const auto asset = library->fetchAssets(std::vector{turned}, {}).at(0);
  EXPECT_EQ(asset.pixelWidth, 20);
  EXPECT_EQ(asset.pixelHeight, 40);
}

TEST_F(LibraryTest, FailingTransactionLeavesNoRowsAndNoFiles) {
  auto library = openForOwner();
  const std::string good = writeJpeg("good.jpg", 8, 8);
  const std::string kept = addPhoto(*library, good);
  const auto before = storedFiles();

  // A missing second file fails the whole transaction, the album with it.
  auto error = library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.createAsset().addResource(photos::ResourceType::photo, good);
    changes.createAsset().addResource(photos::ResourceType::photo, path("vanished.jpg"));
    changes.createAlbum("Never");
  });
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("vanished.jpg"), std::string::npos);

  // A failure after the files were copied (an unknown member) also undoes them.
  error = library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    auto& request = changes.createAsset();
    request.addResource(photos::ResourceType::photo, good);
    changes.createAlbum("Never").addAssets(
        {*request.placeholderLocalIdentifier(), "00000000-0000-4000-8000-000000000000/L0/001"});
  });
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("not in the library"), std::string::npos);

  // An exception from the block fails it with its text.
  error = library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.createAsset().addResource(photos::ResourceType::photo, good);
    throw std::runtime_error("stopped by the caller");
  });
  EXPECT_EQ(error, "stopped by the caller");

  // Moving files in is refused.
  error = library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.createAsset().addResource(photos::ResourceType::photo, good,
                                      {.originalFilename = {}, .shouldMoveFile = true});
  });
  EXPECT_TRUE(error.has_value());
  EXPECT_TRUE(std::filesystem::exists(good));

  EXPECT_EQ(identifiersOf(library->fetchAllAssets(withHidden())), std::vector<std::string>{kept});
  EXPECT_TRUE(library->fetchCollections(CollectionType::album).empty());
  EXPECT_EQ(storedFiles(), before);
}

TEST_F(LibraryTest, OpenSettlesWhatEndedTransactionsLeft) {
  std::string committed, deleted;
  std::string committedFile, deletedFile;
  {
    auto library = openForOwner();
    committed = addPhoto(*library, writeJpeg("a.jpg", 4, 4));
    deleted = addPhoto(*library, writeJpeg("b.jpg", 4, 4));
    committedFile = library->storedFilePath(library->fetchAssets(std::vector{committed}, {})[0].resources[0]);
    deletedFile = library->storedFilePath(library->fetchAssets(std::vector{deleted}, {})[0].resources[0]);
  }
  const std::string incoming = libraryDirectory() + "/incoming/";
  const std::string committedName = std::filesystem::path(committedFile).filename();
  const std::string deletedName = std::filesystem::path(deletedFile).filename();
  // A commit whose process ended before the rename: its file is still pending.
  std::filesystem::rename(committedFile, incoming + committedName + ".pending");
  // A copy whose transaction never committed.
  writeWhole(incoming + "11111111-2222-4333-8444-555555555555_1.jpg.pending", "partial");
  // A deletion that committed (the row is gone) before the original was removed.
  std::filesystem::create_hard_link(deletedFile, incoming + deletedName + ".deleted");
  sqliteExecute(libraryDirectory() + "/Photos.sqlite",
                "PRAGMA foreign_keys=ON; DELETE FROM assets WHERE uuid = '" + deleted.substr(0, 36) + "'");

  auto library = openForOwner();
  EXPECT_TRUE(std::filesystem::is_empty(incoming));
  EXPECT_TRUE(std::filesystem::exists(committedFile));
  EXPECT_FALSE(std::filesystem::exists(deletedFile));
  EXPECT_EQ(storedFiles(), std::vector<std::string>{committedFile});
  EXPECT_EQ(identifiersOf(library->fetchAllAssets({})), std::vector<std::string>{committed});
}

TEST_F(LibraryTest, DeletingAnAssetRemovesItsFileAndMemberships) {
  auto library = openForOwner();
  const std::string a = addPhoto(*library, writeJpeg("a.jpg", 4, 4));
  const std::string b = addPhoto(*library, writeJpeg("b.jpg", 4, 4));
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.createAlbum("Both").addAssets({a, b});
  }),
            std::nullopt);
  ASSERT_EQ(
      library->performChangesAndWait([&](photos::ChangeRequests& changes) { changes.deleteAssets({a}); }),
      std::nullopt);
  const auto album = library->fetchCollections(CollectionType::album).at(0);
  EXPECT_EQ(identifiersOf(library->fetchAssets(album, {})), std::vector<std::string>{b});
  EXPECT_EQ(storedFiles().size(), 1u);
}

TEST_F(LibraryTest, FetchOptionsFilterAndOrder) {
  auto library = openForOwner();
  const std::string late = addPhoto(*library, writeJpeg("late.jpg", 4, 4), dateAt(3000));
  const std::string early = addPhoto(*library, writeJpeg("early.jpg", 4, 4), dateAt(1000));
  const std::string hidden = addPhoto(*library, writeJpeg("hidden.jpg", 4, 4), dateAt(500), true);
  writeWhole(path("clip.mov"), "not decoded");
  std::string video, albumId;
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    auto& request = changes.createAsset();
    request.setCreationDate(dateAt(2000));
    request.addResource(photos::ResourceType::video, path("clip.mov"));
    video = *request.placeholderLocalIdentifier();
    auto& album = changes.createAlbum("Mixed");
    album.addAssets({late, video, early, hidden});
    albumId = *album.placeholderLocalIdentifier();
  }),
            std::nullopt);

  const auto albums = library->fetchCollections(std::vector<std::string>{albumId, albumId, "nonsense"});
  ASSERT_EQ(albums.size(), 1u);
  const photos::Collection& album = albums[0];
  EXPECT_EQ(album.type, CollectionType::album);
  EXPECT_EQ(album.localizedTitle, "Mixed");

  // Without options: album order, every media type, hidden left out.
  EXPECT_EQ(identifiersOf(library->fetchAssets(album, {})), (std::vector<std::string>{late, video, early}));
  // Images only, oldest first.
  EXPECT_EQ(identifiersOf(library->fetchAssets(album, photos::imagesOldestFirst())),
            (std::vector<std::string>{early, late}));
  EXPECT_EQ(library->countAssets(album, photos::imagesOldestFirst()), 2);
  EXPECT_EQ(library->countAssets(album, withHidden()), 4);
  auto sortedWithHidden = withHidden();
  sortedWithHidden.sortByCreationDateAscending = true;
  EXPECT_EQ(identifiersOf(library->fetchAssets(album, sortedWithHidden)),
            (std::vector<std::string>{hidden, early, video, late}));

  const auto videoAsset = library->fetchAssets(std::vector{video}, {});
  ASSERT_EQ(videoAsset.size(), 1u);
  EXPECT_EQ(videoAsset[0].mediaType, photos::MediaType::video);
  EXPECT_EQ(videoAsset[0].resources.at(0).uniformTypeIdentifier, "com.apple.quicktime-movie");

  // By identifiers: first-occurrence order, each once, hidden only when asked.
  const std::vector<std::string> asked{early, hidden, "unknown", early, late};
  EXPECT_EQ(identifiersOf(library->fetchAssets(asked, {})), (std::vector<std::string>{early, late}));
  EXPECT_EQ(identifiersOf(library->fetchAssets(asked, withHidden())),
            (std::vector<std::string>{early, hidden, late}));
}

TEST_F(LibraryTest, RangedFetchCountsAssetsNotResourceRows) {
  auto library = openForOwner();
  std::vector<std::string> byDate(5);
  std::string hidden, albumId;
  for (int i = 4; i >= 1; --i)
    byDate[i] = addPhoto(*library, writeJpeg("p" + std::to_string(i) + ".jpg", 4, 4), dateAt(1000 + i));
  hidden = addPhoto(*library, writeJpeg("hidden.jpg", 4, 4), dateAt(1), true);
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    // The oldest asset has two resources, so two rows in a fetch.
    auto& request = changes.createAsset();
    request.setCreationDate(dateAt(1000));
    request.addResource(photos::ResourceType::photo, writeJpeg("p0.jpg", 4, 4));
    request.addResource(photos::ResourceType::alternatePhoto, writeJpeg("alt.jpg", 4, 4));
    byDate[0] = *request.placeholderLocalIdentifier();
    auto& album = changes.createAlbum("Range");
    album.addAssets({hidden, byDate[4], byDate[3], byDate[2], byDate[1], byDate[0]});
    albumId = *album.placeholderLocalIdentifier();
  }),
            std::nullopt);
  const auto album = library->fetchCollections(std::vector{albumId}).at(0);
  const auto range = [&](std::int64_t offset, std::optional<std::int64_t> limit) {
    auto options = photos::imagesOldestFirst();
    options.fetchOffset = offset;
    options.fetchLimit = limit;
    return library->fetchAssets(album, options);
  };
  const auto firstTwo = range(0, 2);
  EXPECT_EQ(identifiersOf(firstTwo), (std::vector<std::string>{byDate[0], byDate[1]}));
  EXPECT_EQ(firstTwo.at(0).resources.size(), 2u);
  EXPECT_EQ(identifiersOf(range(3, std::nullopt)), (std::vector<std::string>{byDate[3], byDate[4]}));
  EXPECT_EQ(identifiersOf(range(4, 10)), std::vector<std::string>{byDate[4]});
  EXPECT_TRUE(range(5, 1).empty());
  EXPECT_TRUE(range(0, 0).empty());
}

TEST_F(LibraryTest, AlbumMembershipKeepsOrderWithoutDuplicates) {
  auto library = openForOwner();
  const std::string a = addPhoto(*library, writeJpeg("a.jpg", 4, 4));
  const std::string b = addPhoto(*library, writeJpeg("b.jpg", 4, 4));
  const std::string c = addPhoto(*library, writeJpeg("c.jpg", 4, 4));
  std::string id;
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    id = *changes.createAlbum(std::nullopt).placeholderLocalIdentifier();
  }),
            std::nullopt);
  const auto album = library->fetchCollections(std::vector{id}).at(0);
  EXPECT_FALSE(album.localizedTitle.has_value());
  for (const auto& members : {std::vector{b, a}, std::vector{a, c, b}}) {
    ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
      changes.changeCollection(album)->addAssets(members);
    }),
              std::nullopt);
  }
  EXPECT_EQ(identifiersOf(library->fetchAssets(album, {})), (std::vector<std::string>{b, a, c}));

  // Smart albums are kept by their queries: no change request for them.
  const auto smart = library->fetchCollections(CollectionType::smartAlbum);
  photos::ChangeRequests requests;
  EXPECT_EQ(requests.changeCollection(smart[0]), nullptr);
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.changeAsset(library->fetchAssets(std::vector{c}, {})[0]).setFavorite(true);
  }),
            std::nullopt);
  EXPECT_EQ(identifiersOf(library->fetchAssets(smart[0], {})), std::vector<std::string>{c});
  EXPECT_EQ(library->countAssets(smart[1], {}), 3);
}

TEST_F(LibraryTest, AuthorizationIsRecordedOnTheFirstRequest) {
  const std::string directory = libraryDirectory();
  EXPECT_EQ(photos::authorizationStatus(directory, photos::AccessLevel::readWrite),
            AuthorizationStatus::notDetermined);
  EXPECT_FALSE(std::filesystem::exists(directory));  // asking the status creates nothing

  std::mutex mutex;
  std::condition_variable done;
  std::vector<AuthorizationStatus> answers;
  const auto caller = std::this_thread::get_id();
  std::thread::id answeredOn;
  photos::requestAuthorization(directory, photos::AccessLevel::readWrite, [&](AuthorizationStatus status) {
    std::lock_guard lock(mutex);
    answers.push_back(status);
    answeredOn = std::this_thread::get_id();
    done.notify_one();
  });
  {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return !answers.empty(); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::lock_guard lock(mutex);
  EXPECT_EQ(answers, std::vector<AuthorizationStatus>{AuthorizationStatus::authorized});
  EXPECT_NE(answeredOn, caller);
  EXPECT_EQ(photos::authorizationStatus(directory, photos::AccessLevel::readWrite),
            AuthorizationStatus::authorized);
}

TEST_F(LibraryTest, LibraryThatCannotBeReadAndWrittenIsDenied) {
  openForOwner()->setAccessState(AuthorizationStatus::authorized);
  ASSERT_EQ(::chmod(root.c_str(), 0711), 0);
  ASSERT_EQ(::chmod(libraryDirectory().c_str(), 0700), 0);
  // As another user (root switches to nobody for this), the library is denied.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(10);
    if (::geteuid() != 0) ::chmod(libraryDirectory().c_str(), 0);
    const auto status = photos::authorizationStatus(libraryDirectory(), photos::AccessLevel::readWrite);
    bool openFailed = false;
    try {
      photos::Library::open(libraryDirectory());
    } catch (const photos::Error&) {
      openFailed = true;
    }
    ::_exit(status == AuthorizationStatus::denied && openFailed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LibraryTest, OnlyTheOwnersRequestGrantsAccess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the library to another user";
  openForOwner();
  for (const std::string& entry : {libraryDirectory(), libraryDirectory() + "/Photos.sqlite"}) {
    ASSERT_EQ(::chown(entry.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(entry.c_str(), 0777), 0);
  }
  EXPECT_EQ(requestAndWait(libraryDirectory()), AuthorizationStatus::denied);
  EXPECT_EQ(photos::authorizationStatus(libraryDirectory(), photos::AccessLevel::readWrite),
            AuthorizationStatus::notDetermined);
}

TEST_F(LibraryTest, AccessStatesGateWhatApplicationsSee) {
  std::string a, b, albumId;
  {
    auto owner = openForOwner();
    a = addPhoto(*owner, writeJpeg("a.jpg", 4, 4), dateAt(100));
    b = addPhoto(*owner, writeJpeg("b.jpg", 4, 4), dateAt(200));
    ASSERT_EQ(owner->performChangesAndWait([&](photos::ChangeRequests& changes) {
      auto& album = changes.createAlbum("Both");
      album.addAssets({a, b});
      albumId = *album.placeholderLocalIdentifier();
    }),
              std::nullopt);
    EXPECT_THROW(owner->setAccessState(AuthorizationStatus::limited, {"nope/L0/001"}), photos::Error);
    owner->setAccessState(AuthorizationStatus::limited, {b});
    EXPECT_EQ(owner->limitedSelection(), std::vector<std::string>{b});
  }
  {
    auto app = openForApplication();
    EXPECT_EQ(photos::authorizationStatus(libraryDirectory(), photos::AccessLevel::readWrite),
              AuthorizationStatus::limited);
    const auto album = app->fetchCollections(std::vector{albumId}).at(0);
    EXPECT_EQ(identifiersOf(app->fetchAssets(album, photos::imagesOldestFirst())),
              std::vector<std::string>{b});
    EXPECT_EQ(app->countAssets(album, {}), 1);
    EXPECT_EQ(identifiersOf(app->fetchAssets(std::vector{a, b}, withHidden())), std::vector<std::string>{b});
    EXPECT_EQ(identifiersOf(app->fetchAllAssets({})), std::vector<std::string>{b});
    // Assets outside the selection cannot be changed; new ones join it.
    EXPECT_TRUE(app->performChangesAndWait([&](photos::ChangeRequests& changes) {
                     changes.changeCollection(album)->addAssets({a});
                   })
                    .has_value());
    const std::string added = addPhoto(*app, writeJpeg("c.jpg", 4, 4), dateAt(300));
    EXPECT_EQ(identifiersOf(app->fetchAllAssets({})), (std::vector<std::string>{b, added}));
  }
  for (auto state :
       {AuthorizationStatus::denied, AuthorizationStatus::restricted, AuthorizationStatus::notDetermined}) {
    openForOwner()->setAccessState(state);
    auto app = openForApplication();
    EXPECT_TRUE(app->fetchCollections(CollectionType::album).empty());
    EXPECT_TRUE(app->fetchAllAssets(withHidden()).empty());
    EXPECT_TRUE(app->performChangesAndWait([](photos::ChangeRequests& changes) { changes.createAlbum("x"); })
                    .has_value());
  }
  openForOwner()->setAccessState(AuthorizationStatus::authorized);
  EXPECT_EQ(openForApplication()->fetchAllAssets({}).size(), 3u);
  EXPECT_TRUE(openForOwner()->limitedSelection().empty());
}

TEST_F(LibraryTest, ExportCopiesTheOriginalAndNeverLeavesAPartialFile) {
  auto library = openForOwner();
  const std::string source = writeJpeg("a.jpg", 16, 16);
  const auto asset = library->fetchAssets(std::vector{addPhoto(*library, source)}, {}).at(0);
  const photos::AssetResource& resource = asset.resources.at(0);

  EXPECT_EQ(exportAndWait(*library, resource, path("out.jpg")), std::nullopt);
  EXPECT_EQ(readWhole(path("out.jpg")), readWhole(source));

  // An existing file is never replaced.
  writeWhole(path("taken.jpg"), "mine");
  EXPECT_TRUE(exportAndWait(*library, resource, path("taken.jpg")).has_value());
  EXPECT_EQ(readWhole(path("taken.jpg")), "mine");

  // A missing original is a clear error for that item, and no file is written.
  std::filesystem::remove(library->storedFilePath(resource));
  const auto error = exportAndWait(*library, resource, path("missing.jpg"));
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("missing"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("missing.jpg")));
}

TEST_F(LibraryTest, ExportsCrossFileSystemsAndABusyCopyHoldsUpNoOther) {
  auto library = openForOwner();
  const std::string source = writeJpeg("a.jpg", 16, 16);
  const std::string a = addPhoto(*library, source);
  const photos::AssetResource resource = library->fetchAssets(std::vector{a}, {}).at(0).resources.at(0);

  // Memory-backed directories are another file system than the test's.
  std::string elsewhere = "/dev/shm";
  if (::access(elsewhere.c_str(), W_OK) != 0) elsewhere = path("");
  const std::string target = elsewhere + "/orvan-photos-test-" + std::to_string(::getpid()) + ".jpg";
  EXPECT_EQ(exportAndWait(*library, resource, target), std::nullopt);
  EXPECT_EQ(readWhole(target), readWhole(source));
  std::filesystem::remove(target);

  // A completion that has not returned (as a copy that hangs) keeps its
  // thread; the next export still runs.
  std::mutex mutex;
  std::condition_variable changed;
  bool secondDone = false, firstReturned = false, firstSawSecond = false;
  library->writeResourceData(resource, path("first.jpg"), {}, [&](std::optional<std::string>) {
    std::unique_lock lock(mutex);
    firstSawSecond = changed.wait_for(lock, std::chrono::seconds(20), [&] { return secondDone; });
    firstReturned = true;
    changed.notify_all();
  });
  EXPECT_EQ(exportAndWait(*library, resource, path("second.jpg")), std::nullopt);
  {
    std::unique_lock lock(mutex);
    secondDone = true;
    changed.notify_all();
    changed.wait(lock, [&] { return firstReturned; });
  }
  EXPECT_TRUE(firstSawSecond);
  EXPECT_EQ(readWhole(path("second.jpg")), readWhole(source));

  // The lookup of the stored file sees changes made after earlier lookups.
  EXPECT_FALSE(library->storedFilePath(resource).empty());
  ASSERT_EQ(
      library->performChangesAndWait([&](photos::ChangeRequests& changes) { changes.deleteAssets({a}); }),
      std::nullopt);
  EXPECT_TRUE(library->storedFilePath(resource).empty());
}

TEST_F(LibraryTest, RemovedResourcesLeaveTheAssetWithoutFiles) {
  auto library = openForOwner();
  const std::string id = addPhoto(*library, writeJpeg("a.jpg", 4, 4));
  ASSERT_EQ(library->performChangesAndWait([&](photos::ChangeRequests& changes) {
    changes.changeAsset(library->fetchAssets(std::vector{id}, {})[0]).removeAllResources();
  }),
            std::nullopt);
  const auto assets = library->fetchAssets(std::vector{id}, {});
  ASSERT_EQ(assets.size(), 1u);
  EXPECT_TRUE(assets[0].resources.empty());
  EXPECT_TRUE(storedFiles().empty());
}

TEST_F(LibraryTest, DamagedDatabaseIsAClearError) {
  openForOwner()->setAccessState(AuthorizationStatus::authorized);
  const std::string database = libraryDirectory() + "/Photos.sqlite";
  const std::string good = readWhole(database);
  auto expectDamaged = [&](const std::string& contents) {
    writeWhole(database, contents);
    std::filesystem::remove(database + "-wal");
    std::filesystem::remove(database + "-shm");
    try {
      auto library = openForOwner();
      library->fetchAllAssets({});
      library->fetchCollections(CollectionType::smartAlbum);
      ADD_FAILURE() << "no error for a damaged database";
    } catch (const photos::Error& error) {
      EXPECT_NE(std::string(error.what()).find("Photos.sqlite"), std::string::npos) << error.what();
    }
    EXPECT_THROW(photos::authorizationStatus(libraryDirectory(), photos::AccessLevel::readWrite),
                 photos::Error);
    // The request reports a store it cannot use as denied.
    EXPECT_EQ(requestAndWait(libraryDirectory()), AuthorizationStatus::denied);
  };
  expectDamaged(std::string(8192, 'x'));
  std::string scrambled = good;
  for (std::size_t i = 100; i < scrambled.size(); i += 7)
    scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5a);
  expectDamaged(scrambled);
}

TEST_F(LibraryTest, DamageAnywhereInTheDatabaseNeverCrashes) {
  {
    auto library = openForOwner();
    library->setAccessState(AuthorizationStatus::authorized);
    const std::string file = writeJpeg("a.jpg", 4, 4);
    for (int i = 0; i < 3; ++i) addPhoto(*library, file, dateAt(i));
  }
  const std::string database = libraryDirectory() + "/Photos.sqlite";
  const std::string good = readWhole(database);
  std::uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  for (int round = 0; round < 40; ++round) {
    std::string damaged = good;
    for (int flips = 0; flips < 1 + round % 5; ++flips) {
      const std::size_t at = 100 + next() % (damaged.size() - 100);
      damaged[at] = static_cast<char>(next());
    }
    if (round % 7 == 0) damaged.resize(damaged.size() / 2);  // truncated
    writeWhole(database, damaged);
    std::filesystem::remove(database + "-wal");
    std::filesystem::remove(database + "-shm");
    // Either it still reads or it says so; nothing else may happen.
    try {
      auto library = openForApplication();
      for (const auto& collection : library->fetchCollections(CollectionType::smartAlbum))
        library->fetchAssets(collection, photos::imagesOldestFirst());
      library->fetchAllAssets(withHidden());
    } catch (const photos::Error&) {
    }
  }
}

TEST_F(LibraryTest, NewerSchemaIsRefused) {
  openForOwner();
  sqliteExecute(libraryDirectory() + "/Photos.sqlite", "PRAGMA user_version = 99");
  try {
    openForOwner();
    ADD_FAILURE() << "a newer schema was opened";
  } catch (const photos::Error& error) {
    EXPECT_NE(std::string(error.what()).find("newer"), std::string::npos);
  }
}
