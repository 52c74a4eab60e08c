// Opening the library, fetches, and the management operations.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "files.h"
#include "internal.h"

namespace photos {

namespace {

using store::Statement;

constexpr const char* libraryName = "Orvan Photos Library";

// Columns of an asset row, in the order readAsset expects.
constexpr std::string_view assetColumns =
    "a.id, a.uuid, a.media_type, a.pixel_width, a.pixel_height, a.creation_date, "
    "a.modification_date, a.latitude, a.longitude, a.hidden, a.favorite";

Asset readAsset(const Statement& row) {
  Asset asset;
  asset.localIdentifier = row.text(1) + std::string(store::assetSuffix);
  asset.mediaType = static_cast<MediaType>(row.integer(2));
  asset.pixelWidth = row.integer(3);
  asset.pixelHeight = row.integer(4);
  if (auto date = row.optionalInteger(5)) asset.creationDate = Date(std::chrono::seconds(*date));
  if (auto date = row.optionalInteger(6)) asset.modificationDate = Date(std::chrono::seconds(*date));
  if (!row.isNull(7) && !row.isNull(8)) asset.location = Location{row.real(7), row.real(8)};
  asset.hidden = row.integer(9) != 0;
  asset.favorite = row.integer(10) != 0;
  return asset;
}

Collection readCollection(const Statement& row) {
  Collection collection;
  collection.localIdentifier = row.text(0) + std::string(store::collectionSuffix);
  collection.type = static_cast<CollectionType>(row.integer(1));
  collection.subtype = static_cast<CollectionSubtype>(row.integer(2));
  collection.localizedTitle = row.optionalText(3);
  return collection;
}

constexpr std::string_view collectionColumns = "uuid, type, subtype, title";

// Resource columns that follow assetColumns in an asset query, and the join
// that provides them; resources come in the order they were added.
constexpr std::string_view resourceColumns = ", r.id, r.type, r.original_filename, r.uniform_type_identifier";
constexpr std::string_view resourceJoin = " LEFT JOIN resources r ON r.asset_id = a.id";

// Runs an asset query (assetColumns, resourceColumns, ordered so that the
// rows of one asset are consecutive) and appends one Asset per asset.
void runAssetQuery(Statement& query, std::vector<Asset>& assets) {
  std::int64_t current = 0;
  bool any = false;
  while (query.step()) {
    const std::int64_t rowId = query.integer(0);
    if (!any || rowId != current) {
      assets.push_back(readAsset(query));
      current = rowId;
      any = true;
    }
    if (query.isNull(11)) continue;  // an asset without resources
    AssetResource resource;
    resource.assetLocalIdentifier = assets.back().localIdentifier;
    resource.storeKey = query.integer(11);
    resource.type = static_cast<ResourceType>(query.integer(12));
    resource.originalFilename = query.text(13);
    resource.uniformTypeIdentifier = query.text(14);
    assets.back().resources.push_back(std::move(resource));
  }
  query.reset();
}

std::vector<Asset> runAssetQuery(Statement& query) {
  std::vector<Asset> assets;
  runAssetQuery(query, assets);
  return assets;
}

// The filter that fetch options and the access state add to an asset query
// over "assets a". Parameters: ?1 media type (when filtered).
std::string assetFilter(const FetchOptions& options, bool selectionOnly) {
  std::string filter;
  if (options.mediaType) filter += " AND a.media_type = ?1";
  if (!options.includeHiddenAssets) filter += " AND a.hidden = 0";
  if (selectionOnly) filter += " AND a.id IN (SELECT asset_id FROM limited_selection)";
  return filter;
}

void bindFilter(Statement& statement, const FetchOptions& options) {
  if (options.mediaType) statement.bind(1, static_cast<std::int64_t>(*options.mediaType));
}

// FROM, WHERE and natural order of a collection's assets. Parameter ?2 is
// the collection's row id for user albums.
struct CollectionQuery {
  std::string from;
  std::string where;
  std::string naturalOrder;
};

CollectionQuery collectionQuery(const Collection& collection) {
  if (collection.type == CollectionType::album)
    return {" FROM memberships m JOIN assets a ON a.id = m.asset_id", " WHERE m.collection_id = ?2",
            "m.position"};
  if (collection.subtype == CollectionSubtype::smartAlbumFavorites)
    return {" FROM assets a", " WHERE a.favorite = 1", "a.id"};
  if (collection.subtype == CollectionSubtype::smartAlbumRecents)
    return {" FROM assets a", " WHERE 1", "a.id"};
  return {" FROM assets a", " WHERE 0", "a.id"};
}

// The row id of a collection, or absent when it no longer exists.
std::optional<std::int64_t> collectionRowId(store::Database& db, const Collection& collection) {
  const auto uuid = store::uuidOf(collection.localIdentifier, store::collectionSuffix);
  if (!uuid) return std::nullopt;
  Statement statement(db.handle(), "SELECT id FROM collections WHERE uuid = ?");
  statement.bind(1, std::string_view(*uuid));
  if (!statement.step()) return std::nullopt;
  return statement.integer(0);
}

bool accessibleDirectory(const std::string& path) { return ::access(path.c_str(), R_OK | W_OK | X_OK) == 0; }

}  // namespace

std::string defaultLibraryPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (dataHome && *dataHome) {
    base = dataHome;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.local/share";
  }
  return base + "/" + libraryName;
}

AuthorizationStatus Library::Impl::effectiveAccess() {
  if (accessState == AuthorizationStatus::notDetermined) accessState = storedAccessState(*db);
  return accessState;
}

Library::Library(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Library::~Library() = default;

std::unique_ptr<Library> Library::open(const std::string& directory, const OpenOptions& options) {
  struct stat info;
  if (::stat(directory.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) throw Error("The photo library " + directory + " is not a directory.");
  } else {
    const std::string parent = files::parentDirectory(directory);
    if (auto status = files::createDirectories(parent); !status)
      throw Error("The photo library cannot be created: " + status.description + ".");
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error("The photo library " + directory + " cannot be created: " + std::strerror(errno) + ".");
  }
  if (!accessibleDirectory(directory))
    throw Error("The photo library " + directory + " cannot be read and written by this user.");
  for (const char* folder : {store::originalsName, "incoming"}) {
    const std::string path = directory + "/" + folder;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error("The photo library folder " + path + " cannot be created: " + std::strerror(errno) + ".");
  }
  auto impl = std::make_unique<Impl>();
  impl->directory = directory;
  impl->options = options;
  impl->db = std::make_unique<store::Database>(directory + "/" + store::databaseName);
  impl->accessState = storedAccessState(*impl->db);
  settleIncoming(directory, *impl->db);
  return std::unique_ptr<Library>(new Library(std::move(impl)));
}

Library& Library::shared() {
  static std::mutex mutex;
  static std::unique_ptr<Library> library;
  std::lock_guard lock(mutex);
  if (!library) library = open(defaultLibraryPath());
  return *library;
}

const std::string& Library::directory() const { return impl_->directory; }

std::vector<Collection> Library::fetchCollections(CollectionType type) const {
  if (impl_->seesNothing()) return {};
  Statement statement(impl_->db->handle(), "SELECT " + std::string(collectionColumns) +
                                               " FROM collections WHERE type = ? ORDER BY id");
  statement.bind(1, static_cast<std::int64_t>(type));
  std::vector<Collection> collections;
  while (statement.step()) collections.push_back(readCollection(statement));
  return collections;
}

std::vector<Collection> Library::fetchCollections(const std::vector<std::string>& localIdentifiers) const {
  if (impl_->seesNothing()) return {};
  Statement statement(impl_->db->handle(),
                      "SELECT " + std::string(collectionColumns) + " FROM collections WHERE uuid = ?");
  std::vector<Collection> collections;
  std::unordered_set<std::string> seen;
  for (const std::string& identifier : localIdentifiers) {
    const auto uuid = store::uuidOf(identifier, store::collectionSuffix);
    if (!uuid || !seen.insert(*uuid).second) continue;
    statement.bind(1, std::string_view(*uuid));
    if (statement.step()) collections.push_back(readCollection(statement));
    statement.reset();
  }
  return collections;
}

std::vector<Asset> Library::fetchAssets(const Collection& collection, const FetchOptions& options) const {
  if (impl_->seesNothing()) return {};
  const auto rowId = collectionRowId(*impl_->db, collection);
  if (!rowId) return {};
  const CollectionQuery query = collectionQuery(collection);
  const std::string order =
      options.sortByCreationDateAscending ? "a.creation_date, " + query.naturalOrder : query.naturalOrder;
  const std::string filter = assetFilter(options, impl_->seesSelectionOnly());
  // A range is chosen among the assets (not the rows with their resources)
  // by the same query in the same order. Parameters: ?3 limit, ?4 offset.
  const bool ranged = options.fetchLimit || options.fetchOffset > 0;
  const std::string range =
      ranged ? " AND a.id IN (SELECT a.id" + query.from + query.where + filter + " ORDER BY " + order +
                   " LIMIT ?3 OFFSET ?4)"
             : std::string();
  Statement statement(impl_->db->handle(), "SELECT " + std::string(assetColumns) + std::string(resourceColumns) +
                                               query.from + std::string(resourceJoin) + query.where + filter +
                                               range + " ORDER BY " + order + ", r.id");
  bindFilter(statement, options);
  if (collection.type == CollectionType::album) statement.bind(2, *rowId);
  if (ranged) {
    statement.bind(3, std::max<std::int64_t>(options.fetchLimit.value_or(-1), -1));
    statement.bind(4, std::max<std::int64_t>(options.fetchOffset, 0));
  }
  return runAssetQuery(statement);
}

std::int64_t Library::countAssets(const Collection& collection, const FetchOptions& options) const {
  if (impl_->seesNothing()) return 0;
  const auto rowId = collectionRowId(*impl_->db, collection);
  if (!rowId) return 0;
  const CollectionQuery query = collectionQuery(collection);
  Statement statement(impl_->db->handle(), "SELECT count(*)" + query.from + query.where +
                                               assetFilter(options, impl_->seesSelectionOnly()));
  bindFilter(statement, options);
  if (collection.type == CollectionType::album) statement.bind(2, *rowId);
  return statement.step() ? statement.integer(0) : 0;
}

std::vector<Asset> Library::fetchAssets(const std::vector<std::string>& localIdentifiers,
                                        const FetchOptions& options) const {
  if (impl_->seesNothing()) return {};
  Statement statement(impl_->db->handle(),
                      "SELECT " + std::string(assetColumns) + std::string(resourceColumns) +
                          " FROM assets a" + std::string(resourceJoin) + " WHERE a.uuid = ?2" +
                          assetFilter(options, impl_->seesSelectionOnly()) + " ORDER BY r.id");
  std::vector<Asset> assets;
  std::unordered_set<std::string> seen;
  for (const std::string& identifier : localIdentifiers) {
    const auto uuid = store::uuidOf(identifier, store::assetSuffix);
    if (!uuid || !seen.insert(*uuid).second) continue;
    bindFilter(statement, options);
    statement.bind(2, std::string_view(*uuid));
    runAssetQuery(statement, assets);
  }
  return assets;
}

std::vector<Asset> Library::fetchAllAssets(const FetchOptions& options) const {
  if (impl_->seesNothing()) return {};
  Statement statement(impl_->db->handle(),
                      "SELECT " + std::string(assetColumns) + std::string(resourceColumns) +
                          " FROM assets a" + std::string(resourceJoin) + " WHERE 1" +
                          assetFilter(options, impl_->seesSelectionOnly()) +
                          (options.sortByCreationDateAscending ? " ORDER BY a.creation_date, a.id, r.id"
                                                               : " ORDER BY a.id, r.id"));
  bindFilter(statement, options);
  return runAssetQuery(statement);
}

AuthorizationStatus Library::accessState() const { return storedAccessState(*impl_->db); }

void Library::setAccessState(AuthorizationStatus status, const std::vector<std::string>& chosenAssets) {
  store::WriteTransaction transaction(*impl_->db);
  Statement clear(impl_->db->handle(), "DELETE FROM limited_selection");
  clear.run();
  if (status == AuthorizationStatus::limited) {
    Statement choose(impl_->db->handle(),
                     "INSERT OR IGNORE INTO limited_selection(asset_id, position) "
                     "SELECT id, ?2 FROM assets WHERE uuid = ?1");
    std::int64_t position = 0;
    for (const std::string& identifier : chosenAssets) {
      const auto uuid = store::uuidOf(identifier, store::assetSuffix);
      if (uuid) choose.bind(1, std::string_view(*uuid)).bind(2, ++position).run();
      if (!uuid || sqlite3_changes(impl_->db->handle()) == 0) {
        Statement known(impl_->db->handle(), "SELECT 1 FROM assets WHERE uuid = ?");
        known.bind(1, std::string_view(uuid.value_or("")));
        if (!known.step()) throw Error("The photo " + identifier + " is not in the library.");
      }
    }
  }
  store::setSetting(*impl_->db, store::accessStateKey, accessStateName(status));
  transaction.commit();
  impl_->accessState = status;
}

std::vector<std::string> Library::limitedSelection() const {
  Statement statement(impl_->db->handle(),
                      "SELECT a.uuid FROM limited_selection s JOIN assets a ON a.id = s.asset_id "
                      "ORDER BY s.position");
  std::vector<std::string> identifiers;
  while (statement.step()) identifiers.push_back(statement.text(0) + std::string(store::assetSuffix));
  return identifiers;
}

std::string Library::storedFilePath(const AssetResource& resource) const {
  std::lock_guard lock(impl_->storedFileMutex);
  if (!impl_->storedFileQuery)
    impl_->storedFileQuery =
        std::make_unique<Statement>(impl_->db->handle(), "SELECT stored_file FROM resources WHERE id = ?");
  Statement& statement = *impl_->storedFileQuery;
  statement.bind(1, resource.storeKey);
  // Reset before returning (or throwing) so no read transaction stays open.
  struct ResetAtEnd {
    Statement& statement;
    ~ResetAtEnd() { statement.reset(); }
  } resetAtEnd{statement};
  if (!statement.step()) return {};
  return originalPath(impl_->directory, statement.text(0));
}

}  // namespace photos
