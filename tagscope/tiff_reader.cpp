#include "tiff_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "text.h"

namespace tagscope {
namespace {

// Bytes per value of the readable TIFF field types; 0 for the others.
std::uint64_t typeSize(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 7: return 1;   // BYTE, ASCII, UNDEFINED
    case 3: return 2;                   // SHORT
    case 4: case 9: return 4;           // LONG, SLONG
    case 5: case 10: return 8;          // RATIONAL, SRATIONAL
    default: return 0;
  }
}

bool fits(std::span<const std::uint8_t> data, std::int64_t offset, std::uint64_t length) {
  return offset >= 0 && static_cast<std::uint64_t>(offset) <= data.size() &&
         length <= data.size() - static_cast<std::uint64_t>(offset);
}

constexpr std::uint16_t tagExifIfd = 0x8769;
constexpr std::uint16_t tagMakerNote = 0x927C;
constexpr std::uint16_t tagLut1Name = 0xF1;
constexpr std::uint16_t tagLut1Opacity = 0xF3;
constexpr std::uint16_t tagLut2Name = 0xF4;
constexpr std::uint16_t tagLut2Opacity = 0xF5;
constexpr std::uint16_t tagPhotoStyle = 0x89;

// A text entry of the maker note: the bytes before the first zero byte,
// valid UTF-8, cleaned.
std::optional<std::string> makerString(const TiffReader& reader, std::int64_t ifd, std::uint16_t tag) {
  auto found = reader.entry(ifd, tag);
  if (!found) return std::nullopt;
  auto value = reader.bytes(*found);
  if (!value) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(value->data()), value->size());
  text = text.substr(0, text.find('\0'));
  if (!isValidUtf8(text)) return std::nullopt;
  return cleanText(text);
}

// The first value byte of an entry, in file order.
std::optional<unsigned> makerFirstByte(const TiffReader& reader, std::int64_t ifd, std::uint16_t tag) {
  auto found = reader.entry(ifd, tag);
  if (!found) return std::nullopt;
  auto value = reader.bytes(*found);
  if (!value || value->empty()) return std::nullopt;
  return (*value)[0];
}

}  // namespace

std::optional<std::uint16_t> TiffReader::u16(std::int64_t offset) const {
  if (!fits(data, offset, 2)) return std::nullopt;
  const std::uint8_t* b = data.data() + offset;
  return littleEndian ? static_cast<std::uint16_t>(b[0] | b[1] << 8)
                      : static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::optional<std::uint32_t> TiffReader::u32(std::int64_t offset) const {
  if (!fits(data, offset, 4)) return std::nullopt;
  const std::uint8_t* b = data.data() + offset;
  std::uint32_t v0 = b[0], v1 = b[1], v2 = b[2], v3 = b[3];
  return littleEndian ? v0 | v1 << 8 | v2 << 16 | v3 << 24 : v0 << 24 | v1 << 16 | v2 << 8 | v3;
}

std::optional<IfdEntry> TiffReader::entry(std::int64_t ifd, std::uint16_t tag) const {
  auto n = u16(ifd);
  if (!n || *n == 0 || *n > maxIfdEntries) return std::nullopt;
  for (std::int64_t i = 0; i < *n; ++i) {
    std::int64_t e = ifd + 2 + 12 * i;
    if (!fits(data, e, 12)) continue;
    if (*u16(e) != tag) continue;
    return IfdEntry{*u16(e + 2), *u32(e + 4), e + 8};
  }
  return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> TiffReader::bytes(const IfdEntry& entry,
                                                               std::int64_t origin) const {
  std::uint64_t size = typeSize(entry.type);
  if (size == 0) return std::nullopt;
  std::uint64_t total = std::uint64_t{entry.count} * size;
  if (total > maxEntryValueBytes) return std::nullopt;
  std::int64_t start = entry.valueField;
  if (total > 4) {
    auto offset = u32(entry.valueField);
    if (!offset) return std::nullopt;
    start = origin + static_cast<std::int64_t>(*offset);
  }
  if (!fits(data, start, total)) return std::nullopt;
  return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(total));
}

std::optional<std::int64_t> jpegExifTiffBase(std::span<const std::uint8_t> data) {
  const std::size_t size = data.size();
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
  std::size_t i = 2;
  for (;;) {
    if (i + 4 > size) return std::nullopt;
    if (data[i] != 0xFF) {
      ++i;
      continue;
    }
    std::uint8_t marker = data[i + 1];
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;
    std::size_t length = std::size_t{data[i + 2]} << 8 | data[i + 3];
    if (length < 2) return std::nullopt;
    std::size_t end = i + 2 + length;
    if (end > size) return std::nullopt;
    static constexpr std::uint8_t exifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (marker == 0xE1 && size >= i + 10 && std::memcmp(data.data() + i + 4, exifHeader, 6) == 0)
      return static_cast<std::int64_t>(i + 10);
    i = end;
  }
}

std::string photoStyleName(unsigned code) {
  switch (code) {
    case 0: return "Auto";
    case 1: return "Standard / Custom";
    case 2: return "Vivid";
    case 3: return "Natural";
    case 4: return "Monochrome";
    case 5: return "Scenery";
    case 6: return "Portrait";
    case 8: return "Cinelike D";
    case 9: return "Cinelike V";
    case 11: return "L. Monochrome";
    case 12: return "Like709";
    case 15: return "L. Monochrome D";
    case 17: return "V-Log";
    case 18: return "Cinelike D2";
    default: return "Kod " + std::to_string(code);
  }
}

json::Value panasonicMakerNoteFields(std::span<const std::uint8_t> data) {
  json::Value fields = json::Value::object();
  if (data.size() > maxMakerNoteFileBytes) data = data.first(maxMakerNoteFileBytes);
  auto base = jpegExifTiffBase(data);
  if (!base || !fits(data, *base, 8)) return fields;

  TiffReader reader{data, *base, true};
  if (data[*base] == 'I' && data[*base + 1] == 'I') reader.littleEndian = true;
  else if (data[*base] == 'M' && data[*base + 1] == 'M') reader.littleEndian = false;
  else return fields;

  std::int64_t ifd0 = *base + static_cast<std::int64_t>(*reader.u32(*base + 4));
  auto exifPointer = reader.entry(ifd0, tagExifIfd);
  if (!exifPointer) return fields;
  auto exifBytes = reader.bytes(*exifPointer);
  if (!exifBytes || exifBytes->size() < 4) return fields;
  TiffReader pointerReader{*exifBytes, 0, reader.littleEndian};
  std::int64_t exifIfd = *base + static_cast<std::int64_t>(*pointerReader.u32(0));

  auto makerEntry = reader.entry(exifIfd, tagMakerNote);
  if (!makerEntry) return fields;
  auto makerNote = reader.bytes(*makerEntry);
  if (!makerNote || makerNote->size() < 14 || std::memcmp(makerNote->data(), "Panasonic", 9) != 0)
    return fields;
  auto makerOffset = reader.u32(makerEntry->valueField);
  if (!makerOffset) return fields;
  std::int64_t makerIfd = *base + static_cast<std::int64_t>(*makerOffset) + 12;

  if (auto lut = makerString(reader, makerIfd, tagLut1Name)) fields["lut"] = *lut;
  if (auto opacity = makerFirstByte(reader, makerIfd, tagLut1Opacity)) fields["lutOpacity"] = *opacity;
  if (auto lut2 = makerString(reader, makerIfd, tagLut2Name)) fields["lut2"] = *lut2;
  if (auto opacity = makerFirstByte(reader, makerIfd, tagLut2Opacity)) fields["lut2Opacity"] = *opacity;
  if (auto style = makerFirstByte(reader, makerIfd, tagPhotoStyle)) {
    fields["photoStyleCode"] = *style;
    fields["photoStyle"] = photoStyleName(*style);
  }
  if (!fields.empty()) fields["lutMetadataSource"] = "panasonic-makernote";
  return fields;
}

json::Value panasonicMakerNoteFields(const std::string& path) {
  if (path.find('\0') != std::string::npos) return json::Value::object();
  // Non-blocking, so that a FIFO given as a path never stalls the worker.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return json::Value::object();
  std::vector<std::uint8_t> data;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    std::size_t want = maxMakerNoteFileBytes;
    if (info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) < want)
      want = static_cast<std::size_t>(info.st_size);
    data.resize(want);
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = ::pread(fd, data.data() + got, want - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) { got = 0; break; }  // a read error counts as an empty buffer
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    data.resize(got);
  }
  ::close(fd);
  return panasonicMakerNoteFields(std::span<const std::uint8_t>(data));
}

}  // namespace tagscope
