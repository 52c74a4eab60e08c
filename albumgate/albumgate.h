// albumgate: the bridge between the host application and the photo library.
// One command per process; one JSON document on standard output on success,
// one message line on standard error on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"

namespace albumgate {

// ---- Result records (written with sorted keys) ----

struct AlbumRow {
  std::string id;
  std::int64_t itemCount = 0;
  std::string name;
};

struct AlbumList {
  std::vector<AlbumRow> albums;
};

struct AssetRow {
  std::optional<std::string> creationDate;
  std::string id;
  std::int64_t index = 0;
  std::optional<double> latitude;
  std::optional<double> longitude;
  std::optional<std::string> modificationDate;
  std::string originalFilename;
  std::int64_t pixelHeight = 0;
  std::int64_t pixelWidth = 0;
  std::string uniformTypeIdentifier;
};

struct AssetList {
  std::string albumId;
  std::string albumName;
  std::vector<AssetRow> assets;
};

struct ExportedAsset {
  std::string assetId;
  std::string file;
  std::int64_t index = 0;
};

struct ExportFailure {
  std::optional<std::string> assetId;
  std::int64_t index = 0;
  std::string message;
};

struct ExportBatchResult {
  std::string albumId;
  std::string albumName;
  std::vector<ExportedAsset> assets;
  std::vector<std::int64_t> completedIndexes;
  std::int64_t endIndex = 0;
  std::vector<ExportFailure> failures;
  std::vector<std::string> files;
  std::int64_t startIndex = 0;
};

struct ImportedFile {
  std::string assetId;
  std::string file;
  std::string localIdentifier;
};

struct ImportAlbumResult {
  std::int64_t added = 0;
  bool created = false;
  std::string localIdentifier;
  std::string title;
};

struct ImportFilesResult {
  std::optional<ImportAlbumResult> album;
  std::optional<std::string> albumError;
  std::vector<std::string> attached;
  std::vector<ImportedFile> imported;
};

struct ExistingAssetsResult {
  std::vector<std::string> existing;
};

// ---- Requests (decoded from the command's JSON argument) ----

struct ImportFileRequest {
  std::string assetId;
  std::string file;
  std::optional<std::string> creationDate;
  std::optional<std::string> filename;
};

struct ImportAlbumRequest {
  std::string title;
  std::optional<std::string> localIdentifier;
};

struct ImportFilesRequest {
  std::vector<ImportFileRequest> files;
  std::optional<std::vector<std::string>> attach;
  std::optional<ImportAlbumRequest> album;
};

struct ExistingAssetsRequest {
  std::vector<std::string> identifiers;
};

// ---- output.cpp ----

// Writes the message and a line feed to standard error and ends the process.
[[noreturn]] void fail(std::string_view message, int code = 1);

json::Value toJson(const AlbumRow& row);
json::Value toJson(const AlbumList& list);
json::Value toJson(const AssetRow& row);
json::Value toJson(const AssetList& list);
json::Value toJson(const ExportBatchResult& result);
json::Value toJson(const ImportFilesResult& result);
json::Value toJson(const ExistingAssetsResult& result);

// Writes the value compactly with sorted keys and one line feed; fails with
// the encode message when the value cannot be written.
void writeJson(const json::Value& value);
// The same for an asset list, which may be long: its text equals that of
// writeJson(toJson(list)).
std::optional<std::string> encodeAssetList(const AssetList& list);
void writeJson(const AssetList& list);

// ---- dates.cpp ----

// Seconds since 1970-01-01T00:00:00Z as "2023-07-14T09:05:00Z".
std::string formatIso8601(std::int64_t seconds);
// Reads "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a numeric offset
// (+02:00 or +0200); anything else is absent.
std::optional<std::int64_t> parseIso8601(std::string_view text);

// ---- requests.cpp ----

// Decoded request, or the decoder's description of what is wrong.
template <typename Request>
struct Decoded {
  std::optional<Request> request;
  std::string error;
};
Decoded<ImportFilesRequest> decodeImportFilesRequest(std::string_view text);
Decoded<ExistingAssetsRequest> decodeExistingAssetsRequest(std::string_view text);

// ---- text.cpp ----

// The name with white space and line breaks removed from both ends.
std::string trimmed(std::string_view text);
// A file name without path separators or control characters, valid UTF-8
// (U+FFFD for bad bytes); "photo" when nothing is left.
std::string safeFilename(std::string_view name);
// The first path in the directory, made from the file name, at which nothing
// exists yet: name, name-2, name-3, ... (the number before the extension).
// A name longer than 255 bytes loses the end of its base name, on a
// character boundary, so that the extension and the number stay.
std::string uniqueDestination(const std::string& directory, std::string_view filename);
// The same, probing from `number` (1: the name itself, n: name-n) and
// setting it to the number of the path chosen. A batch that keeps the number
// per name skips the names it has already filled.
std::string uniqueDestination(const std::string& directory, std::string_view filename, long& number);
// Sorts album rows by name (case-insensitive, locale-aware), then by id.
void sortAlbumRows(std::vector<AlbumRow>& rows);

}  // namespace albumgate
