// The failure routine and the JSON writer with its record encodings. Keys are
// inserted in any order: the writer sorts them. Absent optional fields get no
// key at all.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "albumgate.h"

namespace albumgate {

namespace {

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

template <typename T>
void putOptional(json::Value& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

json::Value toJson(const ExportedAsset& asset) {
  return {{"assetId", asset.assetId}, {"file", asset.file}, {"index", asset.index}};
}

json::Value toJson(const ExportFailure& failure) {
  json::Value object = {{"index", failure.index}, {"message", failure.message}};
  putOptional(object, "assetId", failure.assetId);
  return object;
}

json::Value toJson(const ImportedFile& file) {
  return {{"assetId", file.assetId}, {"file", file.file}, {"localIdentifier", file.localIdentifier}};
}

json::Value toJson(const ImportAlbumResult& album) {
  return {{"added", album.added},
          {"created", album.created},
          {"localIdentifier", album.localIdentifier},
          {"title", album.title}};
}

template <typename T>
json::Value arrayOf(const std::vector<T>& items) {
  json::Value array = json::Value::array();
  for (const auto& item : items) array.push_back(toJson(item));
  return array;
}

json::Value strings(const std::vector<std::string>& items) {
  json::Value array = json::Value::array();
  for (const auto& item : items) array.push_back(item);
  return array;
}

}  // namespace

void fail(std::string_view message, int code) {
  std::fflush(stdout);
  std::string line(message);
  line += '\n';
  writeAll(STDERR_FILENO, line);
  std::_Exit(code);
}

json::Value toJson(const AlbumRow& row) {
  return {{"id", row.id}, {"itemCount", row.itemCount}, {"name", row.name}};
}

json::Value toJson(const AlbumList& list) { return {{"albums", arrayOf(list.albums)}}; }

json::Value toJson(const AssetRow& row) {
  json::Value object = {{"id", row.id},
                        {"index", row.index},
                        {"originalFilename", row.originalFilename},
                        {"pixelHeight", row.pixelHeight},
                        {"pixelWidth", row.pixelWidth},
                        {"uniformTypeIdentifier", row.uniformTypeIdentifier}};
  putOptional(object, "creationDate", row.creationDate);
  putOptional(object, "modificationDate", row.modificationDate);
  putOptional(object, "latitude", row.latitude);
  putOptional(object, "longitude", row.longitude);
  return object;
}

json::Value toJson(const AssetList& list) {
  return {{"albumId", list.albumId}, {"albumName", list.albumName}, {"assets", arrayOf(list.assets)}};
}

json::Value toJson(const ExportBatchResult& result) {
  json::Value indexes = json::Value::array();
  for (auto index : result.completedIndexes) indexes.push_back(index);
  return {{"albumId", result.albumId},
          {"albumName", result.albumName},
          {"assets", arrayOf(result.assets)},
          {"completedIndexes", indexes},
          {"endIndex", result.endIndex},
          {"failures", arrayOf(result.failures)},
          {"files", strings(result.files)},
          {"startIndex", result.startIndex}};
}

json::Value toJson(const ImportFilesResult& result) {
  json::Value object = {{"attached", strings(result.attached)}, {"imported", arrayOf(result.imported)}};
  if (result.album) object["album"] = toJson(*result.album);
  putOptional(object, "albumError", result.albumError);
  return object;
}

json::Value toJson(const ExistingAssetsResult& result) { return {{"existing", strings(result.existing)}}; }

namespace {

// A title or file name that is not UTF-8 (a library written before names
// were cleaned on the way in, a path the host passed) never keeps the
// result from being written: each such byte is written as a lone surrogate
// escape \udcXX, the rule treeclerk uses, so nothing is lost, two names
// never read alike, and a path written here means the same file when it is
// handed back.
const json::WriteOptions writeOptions{.keyOrder = json::KeyOrder::sorted, .invalidUtf8 = json::InvalidUtf8::escape};

void writeDocument(const std::optional<std::string>& text) {
  if (!text) {
    fail("Cannot encode PhotoKit response: The data couldn't be written because a number is not finite.");
  }
  writeAll(STDOUT_FILENO, *text + "\n");
}

// Appends `"key":value` (after a comma unless the object has just begun)
// with the value encoded by the writer; false when it cannot be encoded.
bool appendMember(std::string& text, std::string_view key, const json::Value& value) {
  const auto encoded = json::write(value, writeOptions);
  if (!encoded) return false;
  text += text.back() == '{' ? "\"" : ",\"";
  text += key;
  text += "\":";
  text += *encoded;
  return true;
}

// One row as toJson(AssetRow) writes it, without building the tree of
// values: the members in ascending key order, absent ones left out.
bool appendAssetRow(std::string& text, const AssetRow& row) {
  text += '{';
  bool ok = true;
  if (row.creationDate) ok = appendMember(text, "creationDate", *row.creationDate);
  ok = ok && appendMember(text, "id", row.id) && appendMember(text, "index", row.index);
  if (ok && row.latitude) ok = appendMember(text, "latitude", *row.latitude);
  if (ok && row.longitude) ok = appendMember(text, "longitude", *row.longitude);
  if (ok && row.modificationDate) ok = appendMember(text, "modificationDate", *row.modificationDate);
  ok = ok && appendMember(text, "originalFilename", row.originalFilename) &&
       appendMember(text, "pixelHeight", row.pixelHeight) && appendMember(text, "pixelWidth", row.pixelWidth) &&
       appendMember(text, "uniformTypeIdentifier", row.uniformTypeIdentifier);
  text += '}';
  return ok;
}

}  // namespace

std::optional<std::string> encodeAssetList(const AssetList& list) {
  // The rows are encoded one at a time, straight into the document, so a
  // large album is never held as a second, much larger tree of JSON values.
  // Keys in ascending order.
  std::string text = "{";
  if (!appendMember(text, "albumId", list.albumId) || !appendMember(text, "albumName", list.albumName))
    return std::nullopt;
  text += ",\"assets\":[";
  text.reserve(text.size() + list.assets.size() * 320);
  for (std::size_t i = 0; i < list.assets.size(); ++i) {
    if (i > 0) text += ',';
    if (!appendAssetRow(text, list.assets[i])) return std::nullopt;
  }
  text += "]}";
  return text;
}

void writeJson(const json::Value& value) { writeDocument(json::write(value, writeOptions)); }

void writeJson(const AssetList& list) { writeDocument(encodeAssetList(list)); }

}  // namespace albumgate
