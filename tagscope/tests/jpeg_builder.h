// Builds TIFF structures and JPEG segments byte by byte for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tagscope::testing {

using Bytes = std::vector<std::uint8_t>;

// Appends byte by byte (vector::insert trips a false GCC 12 bounds warning).
template <typename Range>
void appendTo(Bytes& to, const Range& from) {
  for (auto b : from) to.push_back(static_cast<std::uint8_t>(b));
}

struct TestEntry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  Bytes value;  // already in the file's byte order
};

// Writes a TIFF structure in one byte order: IFDs, out-of-line values and
// offsets counted from the header.
class TiffBuilder {
 public:
  explicit TiffBuilder(bool littleEndian) : le(littleEndian) {
    out = {le ? std::uint8_t('I') : std::uint8_t('M'), le ? std::uint8_t('I') : std::uint8_t('M')};
    put16(42);
    put32(8);
  }

  bool le;
  Bytes out;

  Bytes u16(std::uint16_t v) const {
    return le ? Bytes{std::uint8_t(v), std::uint8_t(v >> 8)} : Bytes{std::uint8_t(v >> 8), std::uint8_t(v)};
  }
  Bytes u32(std::uint32_t v) const {
    Bytes b(4);
    for (int i = 0; i < 4; ++i) b[le ? i : 3 - i] = std::uint8_t(v >> (8 * i));
    return b;
  }
  static Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

  void put16(std::uint16_t v) { append(u16(v)); }
  void put32(std::uint32_t v) { append(u32(v)); }
  void append(const Bytes& b) { appendTo(out, b); }
  void patch32(std::size_t at, std::uint32_t v) {
    Bytes b = u32(v);
    std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  }

  // Writes an IFD at the end (after `prefix`, e.g. a maker-note header) and
  // its long values after it. Returns the offset of the IFD; `valueFields`
  // receives the offset of each entry's value field.
  std::size_t writeIfd(const std::vector<TestEntry>& entries, std::vector<std::size_t>* valueFields = nullptr) {
    std::size_t ifd = out.size();
    put16(static_cast<std::uint16_t>(entries.size()));
    std::vector<std::size_t> fields;
    for (const auto& e : entries) {
      put16(e.tag);
      put16(e.type);
      put32(e.count);
      fields.push_back(out.size());
      for (std::size_t k = 0; k < 4; ++k) out.push_back(e.value.size() <= 4 && k < e.value.size() ? e.value[k] : 0);
    }
    put32(0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].value.size() > 4) {
        patch32(fields[i], static_cast<std::uint32_t>(out.size()));
        append(entries[i].value);
      }
    }
    if (valueFields) *valueFields = fields;
    return ifd;
  }
};

// A TIFF with IFD0 (Make, EXIF pointer), an EXIF IFD with a maker note made
// of `makerHeader` followed by an IFD of `makerEntries`.
inline Bytes tiffWithMakerNote(bool le, const std::vector<TestEntry>& makerEntries,
                               std::string_view makerHeader = std::string_view("Panasonic\0\0\0", 12)) {
  TiffBuilder t(le);
  std::vector<std::size_t> ifd0Fields;
  t.writeIfd({{0x010F, 2, 10, TiffBuilder::ascii(std::string_view("Panasonic\0", 10))},
              {0x8769, 4, 1, t.u32(0)}},
             &ifd0Fields);
  std::size_t exifIfd = t.out.size();
  t.patch32(ifd0Fields[1], static_cast<std::uint32_t>(exifIfd));
  std::vector<std::size_t> exifFields;
  t.writeIfd({{0x927C, 7, 0, t.u32(0)}}, &exifFields);
  std::size_t makerStart = t.out.size();
  t.append(TiffBuilder::ascii(makerHeader));
  t.writeIfd(makerEntries);
  // The maker note's count and offset, once its size is known.
  std::size_t countField = exifFields[0] - 4;
  t.patch32(countField, static_cast<std::uint32_t>(t.out.size() - makerStart));
  t.patch32(exifFields[0], static_cast<std::uint32_t>(makerStart));
  return t.out;
}

inline Bytes segment(std::uint8_t marker, const Bytes& payload) {
  std::size_t length = payload.size() + 2;
  Bytes s{0xFF, marker, std::uint8_t(length >> 8), std::uint8_t(length)};
  appendTo(s, payload);
  return s;
}

inline Bytes exifSegment(const Bytes& tiff) {
  Bytes payload{'E', 'x', 'i', 'f', 0, 0};
  appendTo(payload, tiff);
  return segment(0xE1, payload);
}

inline Bytes xmpSegment(std::string_view packet) {
  std::string_view id("http://ns.adobe.com/xap/1.0/\0", 29);
  Bytes payload(id.begin(), id.end());
  appendTo(payload, packet);
  return segment(0xE1, payload);
}

// SOI, the given segments, then a start of scan with a little image data and
// the end of image.
inline Bytes jpegWith(const std::vector<Bytes>& segments) {
  Bytes j{0xFF, 0xD8};
  for (const auto& s : segments) appendTo(j, s);
  Bytes scan = segment(0xDA, Bytes{1, 1, 0, 0, 0x3F, 0});
  appendTo(j, scan);
  for (int i = 0; i < 16; ++i) j.push_back(0x55);
  j.push_back(0xFF);
  j.push_back(0xD9);
  return j;
}

}  // namespace tagscope::testing
