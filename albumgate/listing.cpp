// Albums and their images as the host application lists them.

#include <unordered_map>
#include <unordered_set>

#include "commands.h"

namespace albumgate {

namespace {

std::optional<std::string> formattedDate(const std::optional<photos::Date>& date) {
  if (!date) return std::nullopt;
  return formatIso8601(date->time_since_epoch().count());
}

}  // namespace

photos::FetchOptions photoFetchOptions() { return photos::imagesOldestFirst(); }

std::int64_t assetCount(const photos::Collection& collection) {
  return photos::Library::shared().countAssets(collection, photoFetchOptions());
}

std::string albumName(const photos::Collection& collection) { return collection.localizedTitle.value_or("Album"); }

std::vector<AlbumRow> albumRows() {
  const photos::Library& library = photos::Library::shared();
  std::vector<photos::Collection> collections = library.fetchCollections(photos::CollectionType::album);
  for (auto& smart : library.fetchCollections(photos::CollectionType::smartAlbum)) collections.push_back(std::move(smart));

  std::unordered_set<std::string> seen;
  std::vector<AlbumRow> rows;
  for (const photos::Collection& collection : collections) {
    if (!seen.insert(collection.localIdentifier).second) continue;
    std::string name = trimmed(collection.localizedTitle.value_or(""));
    if (name.empty()) name = "Album";
    rows.push_back({collection.localIdentifier, assetCount(collection), std::move(name)});
  }
  sortAlbumRows(rows);
  return rows;
}

std::optional<photos::Collection> collectionFor(const std::string& text) {
  const photos::Library& library = photos::Library::shared();
  auto byIdentifier = library.fetchCollections(std::vector<std::string>{text});
  if (!byIdentifier.empty()) return byIdentifier.front();
  for (const AlbumRow& row : albumRows()) {
    if (row.name != text) continue;
    auto found = library.fetchCollections(std::vector<std::string>{row.id});
    if (!found.empty()) return found.front();
    return std::nullopt;
  }
  return std::nullopt;
}

AlbumRow albumInfo(const photos::Collection& collection) {
  return {collection.localIdentifier, assetCount(collection), albumName(collection)};
}

const photos::AssetResource* preferredPhotoResource(const photos::Asset& asset) {
  using photos::ResourceType;
  if (asset.mediaType != photos::MediaType::image) return nullptr;
  for (ResourceType type : {ResourceType::fullSizePhoto, ResourceType::photo, ResourceType::alternatePhoto}) {
    for (const photos::AssetResource& resource : asset.resources) {
      if (resource.type == type) return &resource;
    }
  }
  return asset.resources.empty() ? nullptr : &asset.resources.front();
}

std::optional<AssetRow> assetRow(const photos::Asset& asset, std::int64_t index) {
  const photos::AssetResource* resource = preferredPhotoResource(asset);
  if (!resource) return std::nullopt;
  AssetRow row;
  row.id = asset.localIdentifier;
  row.index = index;
  row.originalFilename = resource->originalFilename;
  row.uniformTypeIdentifier = resource->uniformTypeIdentifier;
  row.pixelWidth = asset.pixelWidth;
  row.pixelHeight = asset.pixelHeight;
  row.creationDate = formattedDate(asset.creationDate);
  row.modificationDate = formattedDate(asset.modificationDate);
  if (asset.location) {
    row.latitude = asset.location->latitude;
    row.longitude = asset.location->longitude;
  }
  return row;
}

AssetList albumAssets(const photos::Collection& collection) {
  const auto assets = photos::Library::shared().fetchAssets(collection, photoFetchOptions());
  AssetList list{collection.localIdentifier, albumName(collection), {}};
  list.assets.reserve(assets.size());
  for (std::size_t p = 0; p < assets.size(); ++p) {
    if (auto row = assetRow(assets[p], static_cast<std::int64_t>(p + 1))) list.assets.push_back(std::move(*row));
  }
  return list;
}

AssetList assetsInfo(const std::vector<std::string>& identifiers) {
  const auto assets = photos::Library::shared().fetchAssets(identifiers, photos::FetchOptions{});
  std::unordered_map<std::string, const photos::Asset*> byIdentifier;
  for (const photos::Asset& asset : assets) byIdentifier.emplace(asset.localIdentifier, &asset);
  AssetList list;
  for (std::size_t p = 0; p < identifiers.size(); ++p) {
    const auto found = byIdentifier.find(identifiers[p]);
    if (found == byIdentifier.end()) continue;
    if (auto row = assetRow(*found->second, static_cast<std::int64_t>(p + 1))) list.assets.push_back(std::move(*row));
  }
  return list;
}

}  // namespace albumgate
