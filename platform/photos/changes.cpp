// Change requests and the all-or-nothing transaction that performs them.
//
// A transaction runs in three steps: the new originals are copied into
// incoming/ under pending names (holding the shared store lock), the
// database is changed in one write transaction, and after its commit the
// pending files are renamed into the originals folder. A failure before the
// commit removes every pending file; a process that dies after the commit
// has its pending files renamed by the next open (settleIncoming).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <unordered_set>

#include "files.h"
#include "json.h"
#include "internal.h"
#include "probe.h"

namespace photos {

namespace {

// Titles and original file names are text, as the system's photo library
// keeps them: bytes that are not UTF-8 (a Latin-1 name from an old archive)
// are stored as U+FFFD, so that every reader gets text it can show and
// compare.
std::optional<std::string> storedText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return json::withReplacementCharacters(*text);
}

using store::Statement;

// --- Requests ---

// Lower-case extension of a path's last component with its dot (".jpg"),
// empty when there is none or it is not plain letters and digits.
std::string extensionOf(const std::string& path) {
  const std::string name = files::lastComponent(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > 10) return {};
  std::string extension = ".";
  for (std::size_t i = dot + 1; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c)) return {};
    extension += static_cast<char>(std::tolower(c));
  }
  return extension.size() > 1 ? extension : std::string();
}

bool isVideoExtension(const std::string& extension) {
  return extension == ".mov" || extension == ".mp4" || extension == ".m4v";
}

std::string typeIdentifierOfImage(const std::string& format, const std::string& extension) {
  if (format == "jpeg") return "public.jpeg";
  if (format == "png") return "public.png";
  if (format == "tiff") return "public.tiff";
  if (format == "gif") return "com.compuserve.gif";
  if (format == "webp") return "org.webmproject.webp";
  if (format == "heif") return extension == ".avif" ? "public.avif" : "public.heic";
  if (!format.empty()) return "public." + format;
  return "public.image";
}

std::string typeIdentifierOfOther(const std::string& extension) {
  if (extension == ".mov") return "com.apple.quicktime-movie";
  if (extension == ".mp4" || extension == ".m4v") return "public.mpeg-4";
  if (extension == ".aae" || extension == ".plist") return "com.apple.property-list";
  return "public.data";
}

// One resource file, examined and given its place in the store.
struct PreparedResource {
  ResourceType type;
  std::string source;
  std::string originalFilename;
  std::string typeIdentifier;
  std::string storedName;
  std::optional<MediaType> mediaType;  // what the file is, when it is a photo or video
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
};

struct PreparedAsset {
  const AssetCreationRequest* request;
  std::string uuid;
  MediaType mediaType = MediaType::unknown;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  std::vector<PreparedResource> resources;
};

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<std::int64_t> secondsOf(const std::optional<Date>& date) {
  if (!date) return std::nullopt;
  return date->time_since_epoch().count();
}

}  // namespace

// --- The requests' own operations ---

void AssetCreationRequest::addResource(ResourceType type, const std::string& filePath,
                                       const ResourceCreationOptions& options) {
  resources_.push_back({type, filePath, options});
}

void CollectionCreationRequest::addAssets(const std::vector<std::string>& assetLocalIdentifiers) {
  members_.insert(members_.end(), assetLocalIdentifiers.begin(), assetLocalIdentifiers.end());
}

void CollectionChangeRequest::addAssets(const std::vector<std::string>& assetLocalIdentifiers) {
  added_.insert(added_.end(), assetLocalIdentifiers.begin(), assetLocalIdentifiers.end());
}

void CollectionChangeRequest::removeAssets(const std::vector<std::string>& assetLocalIdentifiers) {
  removed_.insert(removed_.end(), assetLocalIdentifiers.begin(), assetLocalIdentifiers.end());
}

struct ChangeRequests::Requests {
  // Deques keep the references handed out valid as requests are added.
  std::deque<AssetCreationRequest> createdAssets;
  std::deque<AssetChangeRequest> changedAssets;
  std::deque<CollectionCreationRequest> createdAlbums;
  std::deque<CollectionChangeRequest> changedCollections;
  std::vector<std::string> deletedAssets;
  std::vector<std::string> deletedCollections;
};

ChangeRequests::ChangeRequests() : requests_(std::make_unique<Requests>()) {}
ChangeRequests::~ChangeRequests() = default;

AssetCreationRequest& ChangeRequests::createAsset() {
  AssetCreationRequest& request = requests_->createdAssets.emplace_back();
  request.localIdentifier_ = store::newUuid() + std::string(store::assetSuffix);
  return request;
}

AssetChangeRequest& ChangeRequests::changeAsset(const Asset& asset) {
  AssetChangeRequest& request = requests_->changedAssets.emplace_back();
  request.localIdentifier_ = asset.localIdentifier;
  return request;
}

CollectionCreationRequest& ChangeRequests::createAlbum(std::optional<std::string> title) {
  CollectionCreationRequest& request = requests_->createdAlbums.emplace_back();
  request.localIdentifier_ = store::newUuid() + std::string(store::collectionSuffix);
  request.title_ = std::move(title);
  return request;
}

CollectionChangeRequest* ChangeRequests::changeCollection(const Collection& collection) {
  if (collection.type != CollectionType::album) return nullptr;
  CollectionChangeRequest& request = requests_->changedCollections.emplace_back();
  request.localIdentifier_ = collection.localIdentifier;
  return &request;
}

void ChangeRequests::deleteAssets(const std::vector<std::string>& assetLocalIdentifiers) {
  requests_->deletedAssets.insert(requests_->deletedAssets.end(), assetLocalIdentifiers.begin(),
                                  assetLocalIdentifiers.end());
}

void ChangeRequests::deleteCollections(const std::vector<std::string>& collectionLocalIdentifiers) {
  requests_->deletedCollections.insert(requests_->deletedCollections.end(),
                                       collectionLocalIdentifiers.begin(), collectionLocalIdentifiers.end());
}

namespace {

// Pending files and deletion marks of one transaction; removed unless the
// transaction committed.
class FilesInFlight {
 public:
  explicit FilesInFlight(std::string directory) : directory_(std::move(directory)) {}
  ~FilesInFlight() {
    if (committed_) return;
    for (const std::string& name : pending_) ::unlink(pendingPath(directory_, name).c_str());
    for (const std::string& name : marked_) ::unlink(deletedMarkPath(directory_, name).c_str());
  }

  void copyIn(const PreparedResource& resource) {
    const std::string final = originalPath(directory_, resource.storedName);
    const std::string folder = files::parentDirectory(final);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error("The photo library folder " + folder + " cannot be created: " + std::strerror(errno) + ".");
    if (auto error = copyFile(resource.source, pendingPath(directory_, resource.storedName), Flush::toDisk))
      throw Error(*error);
    pending_.push_back(resource.storedName);
  }

  void markDeleted(const std::string& storedName) {
    const std::string mark = deletedMarkPath(directory_, storedName);
    const std::string original = originalPath(directory_, storedName);
    if (::link(original.c_str(), mark.c_str()) != 0) {
      if (errno == ENOENT) return;  // the original is already gone
      throw Error("The photo library cannot remove " + original + ": " + std::strerror(errno) + ".");
    }
    marked_.push_back(storedName);
  }

  // Makes the pending names themselves durable, before the database refers to them.
  void flushNames() {
    if (pending_.empty()) return;
    const std::string folder = files::parentDirectory(pendingPath(directory_, pending_.front()));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      throw Error("The photo library cannot write to " + folder + ": " + std::strerror(error) + ".");
    }
    ::close(fd);
  }

  // After the commit: move the new originals in, remove the deleted ones.
  void settle() {
    committed_ = true;
    for (const std::string& name : pending_)
      ::rename(pendingPath(directory_, name).c_str(), originalPath(directory_, name).c_str());
    for (const std::string& name : marked_) {
      ::unlink(originalPath(directory_, name).c_str());
      ::unlink(deletedMarkPath(directory_, name).c_str());
    }
  }

 private:
  std::string directory_;
  std::vector<std::string> pending_;
  std::vector<std::string> marked_;
  bool committed_ = false;
};

}  // namespace

// What performs a transaction's requests; a friend of the request classes.
struct ChangeExecution {
  // --- Step 1: examine the files ---

  static PreparedResource prepareResource(const AssetCreationRequest::PendingResource& pending,
                                          const std::string& uuid, std::size_t number) {
    if (pending.options.shouldMoveFile)
      throw Error("The photo library copies files and does not move them: " + pending.filePath);
    struct stat info;
    if (::stat(pending.filePath.c_str(), &info) != 0)
      throw Error("The file " + pending.filePath + " cannot be read: " + std::strerror(errno) + ".");
    if (!S_ISREG(info.st_mode)) throw Error("The file " + pending.filePath + " is not a regular file.");

    PreparedResource resource;
    resource.type = pending.type;
    resource.source = pending.filePath;
    resource.originalFilename =
        json::withReplacementCharacters(pending.options.originalFilename.value_or(files::lastComponent(pending.filePath)));
    const std::string extension = extensionOf(pending.filePath);
    resource.storedName = uuid + "_" + std::to_string(number) + extension;
    if (const auto properties = probeImage(pending.filePath)) {
      const bool turned = properties->orientation >= 5 && properties->orientation <= 8;
      resource.mediaType = MediaType::image;
      resource.pixelWidth = turned ? properties->pixelHeight : properties->pixelWidth;
      resource.pixelHeight = turned ? properties->pixelWidth : properties->pixelHeight;
      resource.typeIdentifier = typeIdentifierOfImage(properties->format, extension);
    } else {
      if (isVideoExtension(extension)) resource.mediaType = MediaType::video;
      resource.typeIdentifier = typeIdentifierOfOther(extension);
    }
    return resource;
  }

  static PreparedAsset prepareAsset(const AssetCreationRequest& request) {
    PreparedAsset asset;
    asset.request = &request;
    asset.uuid = *store::uuidOf(*request.placeholderLocalIdentifier(), store::assetSuffix);
    if (request.resources_.empty()) throw Error("A new photo needs at least one file.");
    for (const auto& pending : request.resources_)
      asset.resources.push_back(prepareResource(pending, asset.uuid, asset.resources.size() + 1));
    // The asset is what its first photo says, else what its first video says.
    for (MediaType wanted : {MediaType::image, MediaType::video}) {
      for (const PreparedResource& resource : asset.resources) {
        if (resource.mediaType == wanted) {
          asset.mediaType = wanted;
          asset.pixelWidth = resource.pixelWidth;
          asset.pixelHeight = resource.pixelHeight;
          break;
        }
      }
      if (asset.mediaType != MediaType::unknown) break;
    }
    if (asset.mediaType == MediaType::unknown)
      throw Error("The file " + asset.resources.front().source + " is not a supported photo or video.");
    return asset;
  }

  // --- Step 2: the database ---

  class DatabaseChanges {
   public:
    DatabaseChanges(Library::Impl& impl) : impl_(impl), db_(impl.db->handle()) {}

    std::int64_t insertAsset(const PreparedAsset& asset) {
      const AssetCreationRequest& request = *asset.request;
      const std::int64_t time = now();
      Statement insert(db_,
                       "INSERT INTO assets(uuid, media_type, pixel_width, pixel_height, creation_date, "
                       "modification_date, latitude, longitude, hidden, favorite, added_date) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
      insert.bind(1, std::string_view(asset.uuid))
          .bind(2, static_cast<std::int64_t>(asset.mediaType))
          .bind(3, asset.pixelWidth)
          .bind(4, asset.pixelHeight)
          .bind(5, secondsOf(request.creationDate_).value_or(time))
          .bind(6, time)
          .bind(7, request.location_ ? std::optional<double>(request.location_->latitude) : std::nullopt)
          .bind(8, request.location_ ? std::optional<double>(request.location_->longitude) : std::nullopt)
          .bind(9, std::int64_t{request.hidden_})
          .bind(10, std::int64_t{request.favorite_})
          .bind(11, time)
          .run();
      const std::int64_t rowId = sqlite3_last_insert_rowid(db_);
      Statement resource(db_,
                         "INSERT INTO resources(asset_id, type, original_filename, uniform_type_identifier, "
                         "stored_file) VALUES(?, ?, ?, ?, ?)");
      for (const PreparedResource& file : asset.resources)
        resource.bind(1, rowId)
            .bind(2, static_cast<std::int64_t>(file.type))
            .bind(3, std::string_view(file.originalFilename))
            .bind(4, std::string_view(file.typeIdentifier))
            .bind(5, std::string_view(file.storedName))
            .run();
      // Under limited access the photos an application adds are among those it may see.
      if (impl_.seesSelectionOnly()) {
        Statement choose(db_,
                         "INSERT OR IGNORE INTO limited_selection(asset_id, position) "
                         "SELECT ?, coalesce(max(position), 0) + 1 FROM limited_selection");
        choose.bind(1, rowId).run();
      }
      return rowId;
    }

    // The row id of a visible asset, or an Error naming it.
    std::int64_t assetRowId(const std::string& localIdentifier) {
      const auto uuid = store::uuidOf(localIdentifier, store::assetSuffix);
      Statement find(
          db_, impl_.seesSelectionOnly()
                   ? "SELECT id FROM assets WHERE uuid = ? AND id IN (SELECT asset_id FROM limited_selection)"
                   : "SELECT id FROM assets WHERE uuid = ?");
      find.bind(1, std::string_view(uuid.value_or("")));
      if (!uuid || !find.step()) throw Error("The photo " + localIdentifier + " is not in the library.");
      return find.integer(0);
    }

    std::int64_t albumRowId(const std::string& localIdentifier) {
      const auto uuid = store::uuidOf(localIdentifier, store::collectionSuffix);
      Statement find(db_, "SELECT id, type FROM collections WHERE uuid = ?");
      find.bind(1, std::string_view(uuid.value_or("")));
      if (!uuid || !find.step()) throw Error("The album " + localIdentifier + " is not in the library.");
      if (find.integer(1) != static_cast<std::int64_t>(CollectionType::album))
        throw Error("The album " + localIdentifier + " is kept by the library and cannot be changed.");
      return find.integer(0);
    }

    void changeAsset(const AssetChangeRequest& request, FilesInFlight& files) {
      const std::int64_t rowId = assetRowId(request.localIdentifier_);
      if (request.hidden_)
        Statement(db_, "UPDATE assets SET hidden = ? WHERE id = ?")
            .bind(1, std::int64_t{*request.hidden_})
            .bind(2, rowId)
            .run();
      if (request.favorite_)
        Statement(db_, "UPDATE assets SET favorite = ? WHERE id = ?")
            .bind(1, std::int64_t{*request.favorite_})
            .bind(2, rowId)
            .run();
      if (request.creationDateSet_)
        Statement(db_, "UPDATE assets SET creation_date = ? WHERE id = ?")
            .bind(1, secondsOf(request.creationDate_))
            .bind(2, rowId)
            .run();
      if (request.locationSet_) {
        const auto& location = request.location_;
        Statement(db_, "UPDATE assets SET latitude = ?, longitude = ? WHERE id = ?")
            .bind(1, location ? std::optional<double>(location->latitude) : std::nullopt)
            .bind(2, location ? std::optional<double>(location->longitude) : std::nullopt)
            .bind(3, rowId)
            .run();
      }
      if (request.removeResources_) removeResources(rowId, files);
      Statement(db_, "UPDATE assets SET modification_date = ? WHERE id = ?")
          .bind(1, now())
          .bind(2, rowId)
          .run();
    }

    void removeResources(std::int64_t assetRowId, FilesInFlight& files) {
      Statement stored(db_, "SELECT stored_file FROM resources WHERE asset_id = ?");
      stored.bind(1, assetRowId);
      while (stored.step()) files.markDeleted(stored.text(0));
      stored.reset();
      Statement(db_, "DELETE FROM resources WHERE asset_id = ?").bind(1, assetRowId).run();
    }

    void addMembers(std::int64_t albumRowId, const std::vector<std::string>& members) {
      Statement add(
          db_,
          "INSERT OR IGNORE INTO memberships(collection_id, asset_id, position) "
          "SELECT ?1, ?2, coalesce(max(position), 0) + 1 FROM memberships WHERE collection_id = ?1");
      for (const std::string& member : members) add.bind(1, albumRowId).bind(2, assetRowId(member)).run();
    }

    void createAlbum(const CollectionCreationRequest& request) {
      Statement insert(
          db_, "INSERT INTO collections(uuid, type, subtype, title, created_date) VALUES(?, ?, ?, ?, ?)");
      insert.bind(1, std::string_view(*store::uuidOf(request.localIdentifier_, store::collectionSuffix)))
          .bind(2, static_cast<std::int64_t>(CollectionType::album))
          .bind(3, static_cast<std::int64_t>(CollectionSubtype::albumRegular))
          .bind(4, storedText(request.title_))
          .bind(5, now())
          .run();
      addMembers(sqlite3_last_insert_rowid(db_), request.members_);
    }

    void changeCollection(const CollectionChangeRequest& request) {
      const std::int64_t rowId = albumRowId(request.localIdentifier_);
      if (request.titleSet_)
        Statement(db_, "UPDATE collections SET title = ? WHERE id = ?")
            .bind(1, storedText(request.title_))
            .bind(2, rowId)
            .run();
      addMembers(rowId, request.added_);
      Statement remove(db_, "DELETE FROM memberships WHERE collection_id = ? AND asset_id = ?");
      for (const std::string& member : request.removed_)
        remove.bind(1, rowId).bind(2, assetRowId(member)).run();
    }

    void deleteAsset(const std::string& localIdentifier, FilesInFlight& files) {
      const std::int64_t rowId = assetRowId(localIdentifier);
      removeResources(rowId, files);
      Statement(db_, "DELETE FROM assets WHERE id = ?").bind(1, rowId).run();
    }

    void deleteCollection(const std::string& localIdentifier) {
      Statement(db_, "DELETE FROM collections WHERE id = ?").bind(1, albumRowId(localIdentifier)).run();
    }

   private:
    Library::Impl& impl_;
    sqlite3* db_;
  };
};

std::optional<std::string> Library::performChangesAndWait(
    const std::function<void(ChangeRequests&)>& changes) {
  try {
    ChangeRequests requests;
    changes(requests);
    if (impl_->seesNothing())
      throw Error("The photo library does not allow this application to make changes.");
    const ChangeRequests::Requests& all = *requests.requests_;

    std::vector<PreparedAsset> assets;
    for (const AssetCreationRequest& request : all.createdAssets)
      assets.push_back(ChangeExecution::prepareAsset(request));

    StoreLock lock(impl_->directory, StoreLock::Kind::shared);
    FilesInFlight files(impl_->directory);
    for (const PreparedAsset& asset : assets)
      for (const PreparedResource& resource : asset.resources) files.copyIn(resource);
    files.flushNames();

    store::WriteTransaction transaction(*impl_->db);
    ChangeExecution::DatabaseChanges database(*impl_);
    for (const PreparedAsset& asset : assets) database.insertAsset(asset);
    for (const AssetChangeRequest& request : all.changedAssets) database.changeAsset(request, files);
    for (const CollectionCreationRequest& request : all.createdAlbums) database.createAlbum(request);
    for (const CollectionChangeRequest& request : all.changedCollections) database.changeCollection(request);
    for (const std::string& identifier : all.deletedAssets) database.deleteAsset(identifier, files);
    for (const std::string& identifier : all.deletedCollections) database.deleteCollection(identifier);
    transaction.commit();
    files.settle();
    return std::nullopt;
  } catch (const std::exception& error) {
    return std::string(error.what());
  }
}

}  // namespace photos
