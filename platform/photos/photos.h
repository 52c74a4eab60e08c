// The user's photo library: authorization, fetches of albums and assets,
// resource export, and all-or-nothing change transactions.
//
// One library per user lives in "$XDG_DATA_HOME/Orvan Photos Library"
// (XDG_DATA_HOME defaults to ~/.local/share): an SQLite database and a folder
// of original files that the library owns. Several processes may use the
// same library at once; each change transaction is atomic across them.
//
// Errors: fetches and other reads throw photos::Error when the store itself
// fails (a damaged database, a library that cannot be read); its what() is a
// complete sentence for the user. Change transactions and resource exports
// report their failures as values instead, as the calls below say.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace photos {

// A failure of the store, with a description fit to show to the user.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Dates are whole seconds in UTC.
using Date = std::chrono::sys_seconds;

// ---------------------------------------------------------------------------
// Codes

enum class AuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorized = 3,
  limited = 4,  // only the assets the user chose are visible
};

enum class AccessLevel : int {
  addOnly = 1,
  readWrite = 2,
};

enum class MediaType : int {
  unknown = 0,
  image = 1,
  video = 2,
  audio = 3,
};

enum class CollectionType : int {
  album = 1,       // made by the user
  smartAlbum = 2,  // kept by the library, defined by a query
};

// Collection subtypes. User albums are "regular"; the library's smart albums
// have subtypes of their own.
enum class CollectionSubtype : int {
  albumRegular = 2,
  smartAlbumFavorites = 203,
  smartAlbumRecents = 209,
};

enum class ResourceType : int {
  photo = 1,
  video = 2,
  audio = 3,
  alternatePhoto = 4,
  fullSizePhoto = 5,
  fullSizeVideo = 6,
  adjustmentData = 7,
};

// ---------------------------------------------------------------------------
// Records (plain values; a record stays valid after the library changes, it
// simply describes the object as it was when fetched)

struct Location {
  double latitude = 0;
  double longitude = 0;
};

// One file of an asset.
struct AssetResource {
  std::string assetLocalIdentifier;
  ResourceType type = ResourceType::photo;
  std::string originalFilename;       // e.g. "IMG_0001.HEIC"
  std::string uniformTypeIdentifier;  // e.g. "public.jpeg", "public.heic"
  std::int64_t storeKey = 0;          // the library's own key for the stored file
};

struct Asset {
  std::string localIdentifier;  // "<UUID>/L0/001"
  MediaType mediaType = MediaType::image;
  std::int64_t pixelWidth = 0;  // upright (recorded orientation applied)
  std::int64_t pixelHeight = 0;
  std::optional<Date> creationDate;
  std::optional<Date> modificationDate;
  std::optional<Location> location;
  bool hidden = false;
  bool favorite = false;
  // The asset's resources in the order they were added. Every fetch fills
  // this list, so no further query is needed per asset.
  std::vector<AssetResource> resources;
};

struct Collection {
  std::string localIdentifier;  // "<UUID>/L0/040"
  CollectionType type = CollectionType::album;
  CollectionSubtype subtype = CollectionSubtype::albumRegular;
  std::optional<std::string> localizedTitle;  // absent when the album has no title
};

// Options of an asset fetch. The defaults are those of a fetch without
// options: every media type, library order, hidden assets left out.
struct FetchOptions {
  // Only assets of this media type ("mediaType == %d").
  std::optional<MediaType> mediaType;
  // Sort by creation date, oldest first (ties keep library order). Without
  // it, album members come in album order and other fetches in the order
  // described at each call.
  bool sortByCreationDateAscending = false;
  // Include hidden assets.
  bool includeHiddenAssets = false;
  // Only part of a collection's assets, in the fetch's order: the first
  // `fetchOffset` are skipped and at most `fetchLimit` follow. Applies to
  // fetches of a collection's assets.
  std::int64_t fetchOffset = 0;
  std::optional<std::int64_t> fetchLimit;
};

// The options albums and exports use: images only, oldest first, hidden
// assets left out.
inline FetchOptions imagesOldestFirst() {
  FetchOptions options;
  options.mediaType = MediaType::image;
  options.sortByCreationDateAscending = true;
  return options;
}

// ---------------------------------------------------------------------------
// Where the library is

// "$XDG_DATA_HOME/Orvan Photos Library", or "~/.local/share/Orvan Photos
// Library" when XDG_DATA_HOME is unset or empty. Read from the environment on
// every call.
std::string defaultLibraryPath();

// ---------------------------------------------------------------------------
// Authorization, for the library at defaultLibraryPath() (or the directory
// given)
//
// The state is "not determined" until the first request. The first request
// records "authorized" for the library's owner (it creates the library when
// there is none yet); another user's request is answered "denied" and
// records nothing. A library whose directory or database cannot be read
// and written by the current user is "denied". The management command can set
// any state, including "limited" with a chosen set of assets.

// The current status; never asks. Throws Error when the database is damaged.
AuthorizationStatus authorizationStatus(AccessLevel level);
AuthorizationStatus authorizationStatus(const std::string& libraryDirectory, AccessLevel level);

// Asks for access. The handler is called exactly once, on a thread that is
// not the caller's, with the new status (the current one when it was already
// determined). A store failure is reported as "denied" (nothing is thrown).
void requestAuthorization(AccessLevel level, std::function<void(AuthorizationStatus)> handler);
void requestAuthorization(const std::string& libraryDirectory, AccessLevel level,
                          std::function<void(AuthorizationStatus)> handler);

struct ChangeExecution;

// ---------------------------------------------------------------------------
// Change requests, used only inside Library::performChangesAndWait. They
// record what to do; the work happens when the block has returned, as one
// transaction.

struct ResourceCreationOptions {
  // The original file name to record; the file's own name when absent.
  std::optional<std::string> originalFilename;
  // Move the file into the library instead of copying it. Not supported: a
  // transaction that asks for it fails. Files are always copied.
  bool shouldMoveFile = false;
};

class AssetCreationRequest {
 public:
  void setCreationDate(std::optional<Date> date) { creationDate_ = date; }
  void setLocation(std::optional<Location> location) { location_ = location; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  void setFavorite(bool favorite) { favorite_ = favorite; }
  // Adds a file as a resource. The media type and pixel size of the asset
  // come from the first resource that is an image (or, for .mov/.mp4/.m4v
  // files, a video of unknown size). The file is read when the transaction
  // runs; a file that is missing then fails the whole transaction.
  void addResource(ResourceType type, const std::string& filePath,
                   const ResourceCreationOptions& options = {});
  // The identifier the asset will have; known before the transaction commits.
  std::optional<std::string> placeholderLocalIdentifier() const { return localIdentifier_; }

 private:
  friend class Library;
  friend class ChangeRequests;
  friend struct ChangeExecution;
  struct PendingResource {
    ResourceType type;
    std::string filePath;
    ResourceCreationOptions options;
  };
  std::string localIdentifier_;
  std::optional<Date> creationDate_;
  std::optional<Location> location_;
  bool hidden_ = false;
  bool favorite_ = false;
  std::vector<PendingResource> resources_;
};

class AssetChangeRequest {
 public:
  void setHidden(bool hidden) { hidden_ = hidden; }
  void setFavorite(bool favorite) { favorite_ = favorite; }
  void setCreationDate(std::optional<Date> date) {
    creationDate_ = date;
    creationDateSet_ = true;
  }
  void setLocation(std::optional<Location> location) {
    location_ = location;
    locationSet_ = true;
  }
  // Removes every resource of the asset (as when the originals were purged);
  // the asset stays, without files.
  void removeAllResources() { removeResources_ = true; }

 private:
  friend class Library;
  friend class ChangeRequests;
  friend struct ChangeExecution;
  std::string localIdentifier_;
  std::optional<bool> hidden_;
  std::optional<bool> favorite_;
  std::optional<Date> creationDate_;
  bool creationDateSet_ = false;
  std::optional<Location> location_;
  bool locationSet_ = false;
  bool removeResources_ = false;
};

class CollectionCreationRequest {
 public:
  // Adds members to the new album, after those added before.
  void addAssets(const std::vector<std::string>& assetLocalIdentifiers);
  std::optional<std::string> placeholderLocalIdentifier() const { return localIdentifier_; }

 private:
  friend class Library;
  friend class ChangeRequests;
  friend struct ChangeExecution;
  std::string localIdentifier_;
  std::optional<std::string> title_;
  std::vector<std::string> members_;
};

class CollectionChangeRequest {
 public:
  // Appends the assets to the album in the given order; assets that already
  // are members stay where they are (no duplicates). An identifier that names
  // no asset fails the transaction.
  void addAssets(const std::vector<std::string>& assetLocalIdentifiers);
  void removeAssets(const std::vector<std::string>& assetLocalIdentifiers);
  void setTitle(std::optional<std::string> title) {
    title_ = std::move(title);
    titleSet_ = true;
  }

 private:
  friend class Library;
  friend class ChangeRequests;
  friend struct ChangeExecution;
  std::string localIdentifier_;
  std::vector<std::string> added_;
  std::vector<std::string> removed_;
  std::optional<std::string> title_;
  bool titleSet_ = false;
};

// The block's handle for making requests. References it returns stay valid
// until the block returns.
class ChangeRequests {
 public:
  ChangeRequests();
  ~ChangeRequests();
  ChangeRequests(const ChangeRequests&) = delete;
  ChangeRequests& operator=(const ChangeRequests&) = delete;

  AssetCreationRequest& createAsset();
  AssetChangeRequest& changeAsset(const Asset& asset);
  // A user album titled `title` (absent: an album without a title).
  CollectionCreationRequest& createAlbum(std::optional<std::string> title);
  // Absent when the collection cannot be changed (a smart album).
  CollectionChangeRequest* changeCollection(const Collection& collection);
  void deleteAssets(const std::vector<std::string>& assetLocalIdentifiers);
  void deleteCollections(const std::vector<std::string>& collectionLocalIdentifiers);

 private:
  friend class Library;
  friend struct ChangeExecution;
  struct Requests;
  std::unique_ptr<Requests> requests_;
};

// ---------------------------------------------------------------------------
// Resource export

struct ResourceRequestOptions {
  // Allow fetching originals from the network. Every original of this
  // library is local, so it changes nothing; kept for callers that set it.
  bool networkAccessAllowed = false;
};

// Called once with nothing on success or with the failure's description.
using ExportCompletion = std::function<void(std::optional<std::string> errorDescription)>;

// ---------------------------------------------------------------------------
// The library
//
// One Library is used from one thread at a time; completion handlers run on
// threads of their own and must not call into it.

class Library {
 public:
  struct OpenOptions {
    // Apply the access state to fetches and changes, as the host
    // application sees the library: with "limited" only the chosen assets
    // are visible (assets the caller creates join the chosen set); with any
    // state but "authorized" or "limited" fetches find nothing and
    // transactions fail. The management command turns this off.
    bool honourAccessState = true;
  };

  // Opens the library in `directory`, creating it when there is none
  // (mode 0700), migrating an older schema, and cleaning files left by
  // transactions whose process ended. Throws Error when the directory or
  // database cannot be used (not readable and writable, damaged, newer
  // schema than this code knows).
  static std::unique_ptr<Library> open(const std::string& directory, const OpenOptions& options);
  static std::unique_ptr<Library> open(const std::string& directory) {
    return open(directory, OpenOptions{});
  }
  // The library at defaultLibraryPath(), opened once per process with the
  // default options.
  static Library& shared();

  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  const std::string& directory() const;

  // --- Fetches (throw Error on store failures) ---

  // Collections of a type, any subtype, in creation order (smart albums:
  // Favorites, then Recents).
  std::vector<Collection> fetchCollections(CollectionType type) const;
  // Collections with these identifiers, in the order of the first occurrence
  // of each identifier; unknown identifiers are skipped.
  std::vector<Collection> fetchCollections(const std::vector<std::string>& localIdentifiers) const;

  // The assets of a collection. Without a sort option: a user album's
  // members in album order; Favorites and Recents in the order the assets
  // were added to the library.
  std::vector<Asset> fetchAssets(const Collection& collection, const FetchOptions& options) const;
  // The number of assets that fetchAssets would return, without loading them.
  std::int64_t countAssets(const Collection& collection, const FetchOptions& options) const;
  // Assets with these identifiers, each once, in the order of the first
  // occurrence of its identifier; unknown identifiers are skipped.
  std::vector<Asset> fetchAssets(const std::vector<std::string>& localIdentifiers,
                                 const FetchOptions& options) const;
  // Every asset of the library (hidden ones only when asked), in the order
  // the assets were added.
  std::vector<Asset> fetchAllAssets(const FetchOptions& options) const;

  // --- Changes ---

  // Runs `changes` to record requests, then performs them all as one
  // transaction: every created original is copied into the library's store,
  // the database is changed, and only then the files take their final
  // names. Returns nothing on success or the failure's description, in which
  // case the library is as it was (no rows, no stored files). An exception
  // thrown by the block fails the transaction with its what(). A process
  // that ends inside the block or the transaction leaves nothing behind.
  std::optional<std::string> performChangesAndWait(const std::function<void(ChangeRequests&)>& changes);

  // --- Resource export ---

  // Copies the resource's stored original to `path`, which must not exist
  // yet, on a thread of its own; `completion` is called once on that thread.
  // On failure (missing original, write error) no file is left at `path`.
  void writeResourceData(const AssetResource& resource, const std::string& path,
                         const ResourceRequestOptions& options, ExportCompletion completion) const;

  // --- Management (the settings panel's operations) ---

  // The access state as stored ("not determined" before the first request).
  AuthorizationStatus accessState() const;
  // Sets the state; for "limited", `chosenAssets` (asset local identifiers)
  // replaces the chosen set, otherwise the set is cleared. Throws Error when
  // an identifier names no asset.
  void setAccessState(AuthorizationStatus status, const std::vector<std::string>& chosenAssets = {});
  // The chosen assets of "limited" access, in the order they were chosen.
  std::vector<std::string> limitedSelection() const;
  // The path of the stored file of a resource.
  std::string storedFilePath(const AssetResource& resource) const;

 private:
  friend struct ChangeExecution;
  struct Impl;
  explicit Library(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace photos
