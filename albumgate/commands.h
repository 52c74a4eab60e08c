// The commands on the photo library, one file per group: access.cpp,
// listing.cpp, export.cpp, import.cpp.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "albumgate.h"
#include "photos.h"

namespace albumgate {

// ---- access.cpp ----

// Returns when the host application may read and add photos (authorized or
// limited); otherwise fails with the access message.
void requirePhotoAccess();
// The read-and-write status, asking first when it is not determined yet.
photos::AuthorizationStatus authorizedStatus();

// ---- listing.cpp ----

// Images only, oldest first, hidden assets left out.
photos::FetchOptions photoFetchOptions();
std::int64_t assetCount(const photos::Collection& collection);
// Every user album and smart album once, sorted by display name then id.
std::vector<AlbumRow> albumRows();
// The album with this identifier, else the first listed album with this
// display name.
std::optional<photos::Collection> collectionFor(const std::string& text);
// The row album-info writes: the title as it is, not trimmed.
AlbumRow albumInfo(const photos::Collection& collection);
// The title, or "Album" when the collection has none.
std::string albumName(const photos::Collection& collection);
const photos::AssetResource* preferredPhotoResource(const photos::Asset& asset);
std::optional<AssetRow> assetRow(const photos::Asset& asset, std::int64_t index);
AssetList albumAssets(const photos::Collection& collection);
AssetList assetsInfo(const std::vector<std::string>& identifiers);

// ---- export.cpp ----

ExportBatchResult exportBatch(const std::string& album, std::int64_t startIndex, std::int64_t endIndex,
                              const std::string& outputPath);
ExportBatchResult exportAssets(const std::vector<std::string>& identifiers, const std::string& outputPath);
// Nothing on success, or why the file could not be written (no file is left).
std::optional<std::string> exportResource(const photos::AssetResource& resource, const std::string& path);

// ---- import.cpp ----

// The assets that exist for the identifiers, hidden ones included, each once.
std::vector<photos::Asset> existingAssets(const std::vector<std::string>& identifiers);
ExistingAssetsResult existingAssetsResult(const std::vector<std::string>& identifiers);
ImportFilesResult importFiles(const ImportFilesRequest& request);

}  // namespace albumgate
