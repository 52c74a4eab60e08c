// The loadable module that answers probeImage with the image layer.
#include <cstring>

#include "imageio.h"
#include "probe.h"

extern "C" __attribute__((visibility("default"))) int orvan_photos_probe_image(const char* path,
                                                                               std::int64_t* width,
                                                                               std::int64_t* height,
                                                                               int* orientation, char* format,
                                                                               std::size_t formatSize) {
  if (!imageio::initialize()) return 0;
  const auto source = imageio::Source::open(path);
  if (!source) return 0;
  const imageio::Properties& properties = source->properties();
  *width = properties.pixelWidth;
  *height = properties.pixelHeight;
  *orientation = properties.orientation;
  if (formatSize > 0) {
    const std::size_t length = std::min(properties.format.size(), formatSize - 1);
    std::memcpy(format, properties.format.data(), length);
    format[length] = '\0';
  }
  return 1;
}
