// The program's own TIFF/EXIF reader: finds the EXIF block of a JPEG, walks
// the TIFF structure with a bounds check at every step and reads the
// Panasonic maker-note entries for the LUTs and the photo style.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "json.h"

namespace tagscope {

// At most this much of a file is read.
inline constexpr std::size_t maxMakerNoteFileBytes = 4 * 1024 * 1024;
// Largest value of one entry (count times the type size).
inline constexpr std::uint64_t maxEntryValueBytes = 1024 * 1024;
// An IFD declares between 1 and this many entries.
inline constexpr unsigned maxIfdEntries = 4096;

// One IFD entry: its field type, value count and the absolute offset of its
// 4-byte value/offset field.
struct IfdEntry {
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::int64_t valueField = 0;
};

struct TiffReader {
  std::span<const std::uint8_t> data;
  std::int64_t base = 0;
  bool littleEndian = true;

  std::optional<std::uint16_t> u16(std::int64_t offset) const;
  std::optional<std::uint32_t> u32(std::int64_t offset) const;
  std::optional<IfdEntry> entry(std::int64_t ifd, std::uint16_t tag) const;
  // The value bytes of an entry; stored offsets count from `origin`.
  std::optional<std::span<const std::uint8_t>> bytes(const IfdEntry& entry, std::int64_t origin) const;
  std::optional<std::span<const std::uint8_t>> bytes(const IfdEntry& entry) const {
    return bytes(entry, base);
  }
};

// Absolute offset of the TIFF header inside a JPEG's EXIF (APP1) segment.
std::optional<std::int64_t> jpegExifTiffBase(std::span<const std::uint8_t> data);

// Name of a Panasonic photo-style code, or "Kod " and the code.
std::string photoStyleName(unsigned code);

// Panasonic maker-note fields of a file's first bytes: any of "lut",
// "lutOpacity", "lut2", "lut2Opacity", "photoStyleCode", "photoStyle" and
// "lutMetadataSource"; an empty object when nothing was found.
json::Value panasonicMakerNoteFields(std::span<const std::uint8_t> data);

// The same for a file: its first 4 MiB are read once. A file that cannot be
// opened or is not a regular file gives the empty set.
json::Value panasonicMakerNoteFields(const std::string& path);

}  // namespace tagscope
