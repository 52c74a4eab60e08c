// Adding rendered files to the photo library and gathering them, with assets
// already there, into an album.

#include <mutex>
#include <unordered_set>

#include <sys/stat.h>

#include "commands.h"

namespace albumgate {

namespace {

const char defaultAlbumTitle[] = "Orvan Library";

bool isFileToImport(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::vector<std::string> identifiersOf(const std::vector<photos::Asset>& assets) {
  std::vector<std::string> identifiers;
  identifiers.reserve(assets.size());
  for (const photos::Asset& asset : assets) identifiers.push_back(asset.localIdentifier);
  return identifiers;
}

// One transaction that creates every asset; fails the process when it does not commit.
std::vector<ImportedFile> importAssets(const std::vector<ImportFileRequest>& files) {
  std::mutex importedMutex;
  std::vector<ImportedFile> imported;
  const auto error = photos::Library::shared().performChangesAndWait([&](photos::ChangeRequests& changes) {
    for (const ImportFileRequest& file : files) {
      photos::AssetCreationRequest& creation = changes.createAsset();
      if (file.creationDate) {
        if (auto seconds = parseIso8601(*file.creationDate)) creation.setCreationDate(photos::Date{std::chrono::seconds{*seconds}});
      }
      photos::ResourceCreationOptions options;
      options.shouldMoveFile = false;
      if (file.filename) {
        const std::string name = trimmed(*file.filename);
        if (!name.empty()) options.originalFilename = safeFilename(name);
      }
      creation.addResource(photos::ResourceType::photo, file.file, options);
      const auto identifier = creation.placeholderLocalIdentifier();
      if (!identifier || identifier->empty()) {
        fail("PhotoKit did not provide an identifier for the imported render: " + file.assetId);
      }
      std::lock_guard lock(importedMutex);
      imported.push_back({file.assetId, file.file, *identifier});
    }
  });
  if (error) fail("PhotoKit could not add rendered photos: " + *error);
  std::lock_guard lock(importedMutex);
  return imported;
}

struct Placement {
  std::optional<ImportAlbumResult> album;
  std::string error;
};

Placement placeInAlbum(const ImportAlbumRequest& album, const std::vector<std::string>& identifiers) {
  photos::Library& library = photos::Library::shared();
  const std::string title = trimmed(album.title);
  const std::vector<photos::Asset> assets = existingAssets(identifiers);

  std::optional<photos::Collection> target;
  if (album.localIdentifier && !album.localIdentifier->empty()) {
    auto found = library.fetchCollections(std::vector<std::string>{*album.localIdentifier});
    if (!found.empty() && found.front().type == photos::CollectionType::album) target = found.front();
  }

  std::unordered_set<std::string> members;
  if (target) {
    photos::FetchOptions everything;
    everything.includeHiddenAssets = true;
    for (const photos::Asset& member : library.fetchAssets(*target, everything)) members.insert(member.localIdentifier);
  }
  std::vector<std::string> missing;
  for (const photos::Asset& asset : assets) {
    if (!members.contains(asset.localIdentifier)) missing.push_back(asset.localIdentifier);
  }

  std::string albumIdentifier = target ? target->localIdentifier : "";
  const auto error = library.performChangesAndWait([&](photos::ChangeRequests& changes) {
    if (target) {
      photos::CollectionChangeRequest* change = changes.changeCollection(*target);
      if (!change) throw photos::Error("The album cannot be changed.");
      if (!missing.empty()) change->addAssets(missing);
    } else {
      photos::CollectionCreationRequest& creation = changes.createAlbum(title.empty() ? defaultAlbumTitle : title);
      albumIdentifier = creation.placeholderLocalIdentifier().value_or("");
      if (!missing.empty()) creation.addAssets(missing);
    }
  });
  if (error) return {std::nullopt, "PhotoKit could not place photos in the album: " + *error};
  return {ImportAlbumResult{static_cast<std::int64_t>(missing.size()), !target, albumIdentifier, title}, ""};
}

}  // namespace

std::vector<photos::Asset> existingAssets(const std::vector<std::string>& identifiers) {
  if (identifiers.empty()) return {};
  photos::FetchOptions everything;
  everything.includeHiddenAssets = true;
  return photos::Library::shared().fetchAssets(identifiers, everything);
}

ExistingAssetsResult existingAssetsResult(const std::vector<std::string>& identifiers) {
  return {identifiersOf(existingAssets(identifiers))};
}

ImportFilesResult importFiles(const ImportFilesRequest& request) {
  const std::vector<std::string> attach = request.attach.value_or(std::vector<std::string>{});
  ImportFilesResult result;
  if (request.files.empty() && attach.empty()) return result;

  for (const ImportFileRequest& file : request.files) {
    if (!isFileToImport(file.file)) fail("Rendered photo file does not exist: " + file.file);
  }
  if (!request.files.empty()) result.imported = importAssets(request.files);

  if (request.album) {
    result.attached = identifiersOf(existingAssets(attach));
    std::vector<std::string> identifiers;
    for (const ImportedFile& file : result.imported) identifiers.push_back(file.localIdentifier);
    identifiers.insert(identifiers.end(), result.attached.begin(), result.attached.end());
    Placement placement = placeInAlbum(*request.album, identifiers);
    if (placement.album) {
      result.album = std::move(placement.album);
    } else {
      result.albumError = std::move(placement.error);
      result.attached.clear();
    }
  }
  return result;
}

}  // namespace albumgate
