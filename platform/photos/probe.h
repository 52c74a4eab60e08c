// What an image file records about its size, read through the image layer.
// The image layer (and the image library behind it) is loaded only when a
// file is examined, so that processes that only read the library start fast.
// Internal to platform/photos.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace photos {

struct ImageFacts {
  std::int64_t pixelWidth = 0;  // as stored
  std::int64_t pixelHeight = 0;
  int orientation = 1;  // EXIF orientation 1..8
  std::string format;   // the image layer's format name: "jpeg", "png", "heif", ...
};

// Absent when the file is not an image the image layer reads. Throws Error
// when the image layer cannot be loaded.
std::optional<ImageFacts> probeImage(const std::string& path);

}  // namespace photos

// The module's entry point: fills the facts and returns 1 for an image, 0
// otherwise. `format` receives a NUL-terminated name of at most formatSize - 1 bytes.
extern "C" int orvan_photos_probe_image(const char* path, std::int64_t* width, std::int64_t* height,
                                        int* orientation, char* format, std::size_t formatSize);
