// Feeds arbitrary bytes to the JPEG/EXIF/maker-note walk.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tiff_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  tagscope::jpegExifTiffBase(bytes);
  json::Value fields = tagscope::panasonicMakerNoteFields(bytes);
  // Whatever was found must be writable as JSON.
  if (!json::write(fields)) __builtin_trap();
  // The same bytes read as a bare TIFF structure from offset 0, both byte orders.
  for (bool le : {true, false}) {
    tagscope::TiffReader reader{bytes, 0, le};
    for (std::uint16_t tag : {0x8769, 0x927C, 0xF1}) {
      if (auto entry = reader.entry(8, tag)) reader.bytes(*entry);
    }
  }
  return 0;
}
