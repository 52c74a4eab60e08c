#include "fixture.h"

#include <vips/vips.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "imageio.h"

void LibraryTest::SetUp() {
  char pattern[] = "/tmp/photos-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  root = pattern;
  ASSERT_TRUE(imageio::initialize());
}

void LibraryTest::TearDown() {
  std::error_code ignored;
  std::filesystem::permissions(root, std::filesystem::perms::owner_all, ignored);
  std::filesystem::permissions(libraryDirectory(), std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(root, ignored);
}

std::unique_ptr<photos::Library> LibraryTest::openForOwner() const {
  return photos::Library::open(libraryDirectory(), {.honourAccessState = false});
}

std::unique_ptr<photos::Library> LibraryTest::openForApplication() const {
  return photos::Library::open(libraryDirectory());
}

std::string LibraryTest::writeJpeg(const std::string& name, int width, int height, int orientation) {
  const std::string file = path(name);
  if (orientation == 1) {
    imageio::Raster raster;
    raster.width = width;
    raster.height = height;
    raster.data.assign(raster.rowBytes() * static_cast<std::size_t>(height), 0x80);
    const auto bytes = imageio::encodeJpeg(raster, 0.9);
    EXPECT_TRUE(bytes.has_value());
    writeWhole(file, bytes ? std::string(bytes->begin(), bytes->end()) : std::string());
    return file;
  }
  // The image layer writes no metadata; libvips records the orientation.
  VipsImage* black = nullptr;
  EXPECT_EQ(vips_black(&black, width, height, "bands", 3, nullptr), 0);
  vips_image_set_int(black, VIPS_META_ORIENTATION, orientation);
  EXPECT_EQ(vips_jpegsave(black, file.c_str(), nullptr), 0);
  g_object_unref(black);
  return file;
}

std::string LibraryTest::addPhoto(photos::Library& library, const std::string& file,
                                  std::optional<photos::Date> creationDate, bool hidden) {
  std::string identifier;
  const auto error = library.performChangesAndWait([&](photos::ChangeRequests& changes) {
    auto& request = changes.createAsset();
    request.setCreationDate(creationDate);
    request.setHidden(hidden);
    request.addResource(photos::ResourceType::photo, file);
    identifier = *request.placeholderLocalIdentifier();
  });
  EXPECT_EQ(error, std::nullopt);
  return identifier;
}

std::vector<std::string> LibraryTest::storedFiles() const {
  std::vector<std::string> found;
  for (const char* folder : {"/originals", "/incoming"}) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(libraryDirectory() + folder, ignored);
         it != std::filesystem::recursive_directory_iterator(); ++it)
      if (it->is_regular_file()) found.push_back(it->path().string());
  }
  return found;
}

photos::Date dateAt(std::int64_t seconds) { return photos::Date(std::chrono::seconds(seconds)); }

photos::FetchOptions withHidden() {
  photos::FetchOptions options;
  options.includeHiddenAssets = true;
  return options;
}

std::vector<std::string> identifiersOf(const std::vector<photos::Asset>& assets) {
  std::vector<std::string> identifiers;
  for (const auto& asset : assets) identifiers.push_back(asset.localIdentifier);
  return identifiers;
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeWhole(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}
