// Copying originals out of the photo library into a directory the host
// application names. Existing files are never replaced, and a file that
// could not be written completely is removed.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <unistd.h>

#include "commands.h"
#include "files.h"

namespace albumgate {

namespace {

// Longest wait for one original to be written.
constexpr std::chrono::seconds exportTimeLimit{900};

// What the completion handler hands back; shared so that a handler that
// runs after the wait gave up still has somewhere to write.
struct ExportCell {
  std::mutex mutex;
  std::condition_variable signal;
  bool done = false;
  std::optional<std::string> error;
};

void createOutputDirectory(const std::string& path) {
  const files::Status created = files::createDirectories(path);
  if (!created) fail("Cannot create PhotoKit export directory: " + created.description);
}

// Per original file name, the number of the last destination chosen for it
// in this batch (where the next search for a free name starts).
using DestinationNumbers = std::unordered_map<std::string, long>;

// Chooses the destination, writes the file and records the outcome.
void exportItem(ExportBatchResult& result, DestinationNumbers& numbers, const photos::AssetResource& resource,
                const std::string& directory, std::int64_t index, const std::string& exportedId,
                const std::string& failureId) {
  const std::string destination =
      uniqueDestination(directory, resource.originalFilename, numbers[resource.originalFilename]);
  if (auto message = exportResource(resource, destination)) {
    result.failures.push_back({failureId, index, std::move(*message)});
    return;
  }
  result.completedIndexes.push_back(index);
  result.files.push_back(destination);
  result.assets.push_back({exportedId, destination, index});
}

}  // namespace

std::optional<std::string> exportResource(const photos::AssetResource& resource, const std::string& path) {
  auto cell = std::make_shared<ExportCell>();
  photos::ResourceRequestOptions options;
  options.networkAccessAllowed = true;
  photos::Library::shared().writeResourceData(resource, path, options, [cell](std::optional<std::string> error) {
    std::lock_guard lock(cell->mutex);
    cell->error = std::move(error);
    cell->done = true;
    cell->signal.notify_one();
  });
  std::unique_lock lock(cell->mutex);
  if (!cell->signal.wait_for(lock, exportTimeLimit, [&] { return cell->done; })) {
    ::unlink(path.c_str());
    return "PhotoKit timed out while downloading the original from iCloud.";
  }
  // A failed write leaves no file of its own behind; removing the path here
  // could delete a file another process created there after the name was
  // chosen.
  return cell->error;
}

ExportBatchResult exportBatch(const std::string& album, std::int64_t startIndex, std::int64_t endIndex,
                              const std::string& outputPath) {
  const auto collection = collectionFor(album);
  if (!collection) fail("PhotoKit album not found: " + album);
  ExportBatchResult result;
  result.albumId = collection->localIdentifier;
  result.albumName = albumName(*collection);
  result.startIndex = std::max<std::int64_t>(1, startIndex);
  result.endIndex = std::min<std::int64_t>(endIndex, assetCount(*collection));
  // Only the assets of the range are fetched; an album that shrank since it
  // was counted ends the range early.
  photos::FetchOptions range = photoFetchOptions();
  range.fetchOffset = result.startIndex - 1;
  range.fetchLimit = std::max<std::int64_t>(0, result.endIndex - result.startIndex + 1);
  const auto assets = photos::Library::shared().fetchAssets(*collection, range);
  result.endIndex = std::min(result.endIndex, result.startIndex - 1 + static_cast<std::int64_t>(assets.size()));
  createOutputDirectory(outputPath);

  DestinationNumbers numbers;
  for (std::int64_t i = result.startIndex; i <= result.endIndex; ++i) {
    const photos::Asset& asset = assets[static_cast<std::size_t>(i - result.startIndex)];
    const photos::AssetResource* resource = preferredPhotoResource(asset);
    if (!resource) {
      result.failures.push_back({asset.localIdentifier, i, "Album item is not a supported photo."});
      continue;
    }
    exportItem(result, numbers, *resource, outputPath, i, asset.localIdentifier, asset.localIdentifier);
  }
  return result;
}

ExportBatchResult exportAssets(const std::vector<std::string>& identifiers, const std::string& outputPath) {
  createOutputDirectory(outputPath);
  const auto assets = photos::Library::shared().fetchAssets(identifiers, photos::FetchOptions{});
  std::unordered_map<std::string, const photos::Asset*> byIdentifier;
  for (const photos::Asset& asset : assets) byIdentifier.emplace(asset.localIdentifier, &asset);

  ExportBatchResult result;
  result.startIndex = 1;
  result.endIndex = static_cast<std::int64_t>(identifiers.size());
  DestinationNumbers numbers;
  for (std::size_t p = 0; p < identifiers.size(); ++p) {
    const std::int64_t index = static_cast<std::int64_t>(p + 1);
    const std::string& requested = identifiers[p];
    const auto found = byIdentifier.find(requested);
    if (found == byIdentifier.end()) {
      result.failures.push_back({requested, index, "Photo not found in Apple Photos."});
      continue;
    }
    const photos::AssetResource* resource = preferredPhotoResource(*found->second);
    if (!resource) {
      result.failures.push_back({requested, index, "Item is not a supported photo."});
      continue;
    }
    exportItem(result, numbers, *resource, outputPath, index, found->second->localIdentifier, requested);
  }
  return result;
}

}  // namespace albumgate
