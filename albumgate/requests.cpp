// Decoding of the JSON requests of import-files and existing-assets. Unknown
// keys are ignored; an optional key may be absent or null; a required key
// that is missing, or any key of the wrong type, fails the decode with a
// description naming the key's path.

#include "albumgate.h"

namespace albumgate {

namespace {

// Requests arrive as one command-line argument; nothing legitimate nests deeper.
constexpr std::size_t maxRequestDepth = 32;

struct DecodeError {
  std::string description;
};

const json::Value& requireKey(const json::Value& object, const char* key, const std::string& path) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    throw DecodeError{"The key \"" + path + key + "\" is missing."};
  }
  return *found;
}

const json::Value* optionalKey(const json::Value& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() || found->is_null() ? nullptr : &*found;
}

void expect(bool ok, const std::string& path, const char* type) {
  if (!ok) throw DecodeError{"The value of \"" + path + "\" is not " + type + "."};
}

const json::Value& objectAt(const json::Value& value, const std::string& path) {
  expect(value.is_object(), path.empty() ? "request" : path, "an object");
  return value;
}

std::string stringAt(const json::Value& value, const std::string& path) {
  expect(value.is_string(), path, "a string");
  return value.get<std::string>();
}

std::vector<std::string> stringsAt(const json::Value& value, const std::string& path) {
  expect(value.is_array(), path, "an array");
  std::vector<std::string> items;
  items.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) items.push_back(stringAt(value[i], path + "[" + std::to_string(i) + "]"));
  return items;
}

std::optional<std::string> optionalString(const json::Value& object, const char* key, const std::string& path) {
  const json::Value* value = optionalKey(object, key);
  if (!value) return std::nullopt;
  return stringAt(*value, path + key);
}

ImportFileRequest importFileAt(const json::Value& value, const std::string& path) {
  const json::Value& object = objectAt(value, path);
  const std::string prefix = path + ".";
  ImportFileRequest file;
  file.assetId = stringAt(requireKey(object, "assetId", prefix), prefix + "assetId");
  file.file = stringAt(requireKey(object, "file", prefix), prefix + "file");
  file.creationDate = optionalString(object, "creationDate", prefix);
  file.filename = optionalString(object, "filename", prefix);
  return file;
}

template <typename Request, typename Read>
Decoded<Request> decode(std::string_view text, Read read) {
  // A path reported with \udcXX escapes for bytes that are not UTF-8 (as
  // treeclerk and this program write them) names the same file here.
  const auto value = json::parse(text, {.requireContainer = false, .maxDepth = maxRequestDepth, .byteEscapes = true});
  if (!value) return {std::nullopt, "The given data was not valid JSON."};
  try {
    return {read(objectAt(*value, "")), ""};
  } catch (const DecodeError& error) {
    return {std::nullopt, error.description};
  }
}

}  // namespace

Decoded<ImportFilesRequest> decodeImportFilesRequest(std::string_view text) {
  return decode<ImportFilesRequest>(text, [](const json::Value& object) {
    ImportFilesRequest request;
    const json::Value& files = requireKey(object, "files", "");
    expect(files.is_array(), "files", "an array");
    request.files.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      request.files.push_back(importFileAt(files[i], "files[" + std::to_string(i) + "]"));
    }
    if (const json::Value* attach = optionalKey(object, "attach")) request.attach = stringsAt(*attach, "attach");
    if (const json::Value* album = optionalKey(object, "album")) {
      const json::Value& albumObject = objectAt(*album, "album");
      ImportAlbumRequest target;
      target.title = stringAt(requireKey(albumObject, "title", "album."), "album.title");
      target.localIdentifier = optionalString(albumObject, "localIdentifier", "album.");
      request.album = target;
    }
    return request;
  });
}

Decoded<ExistingAssetsRequest> decodeExistingAssetsRequest(std::string_view text) {
  return decode<ExistingAssetsRequest>(text, [](const json::Value& object) {
    return ExistingAssetsRequest{stringsAt(requireKey(object, "identifiers", ""), "identifiers")};
  });
}

}  // namespace albumgate
