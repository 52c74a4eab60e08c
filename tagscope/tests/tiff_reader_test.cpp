#include "tiff_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "jpeg_builder.h"

namespace tagscope {
namespace {

using testing::Bytes;
using testing::TestEntry;
using testing::TiffBuilder;

json::Value fieldsOf(const Bytes& data) { return panasonicMakerNoteFields(std::span<const std::uint8_t>(data)); }

std::vector<TestEntry> fullMakerNote(bool le) {
  TiffBuilder t(le);
  return {
      {0x89, 3, 1, t.u16(7)},                                                        // photo style, SHORT
      {0xF1, 2, 16, TiffBuilder::ascii(std::string_view("Teal Orange\0\0  \0", 16))},  // out of line
      {0xF3, 1, 1, Bytes{80}},
      {0xF4, 2, 4, TiffBuilder::ascii("Mono")},                                      // inside the entry
      {0xF5, 1, 2, Bytes{200, 9}},
  };
}

class PanasonicMakerNote : public ::testing::TestWithParam<bool> {};

TEST_P(PanasonicMakerNote, ReadsAllFiveEntries) {
  bool le = GetParam();
  Bytes jpeg = testing::jpegWith({testing::exifSegment(testing::tiffWithMakerNote(le, fullMakerNote(le)))});
  json::Value fields = fieldsOf(jpeg);
  EXPECT_EQ(fields["lut"], "Teal Orange");
  EXPECT_EQ(fields["lutOpacity"], 80);
  EXPECT_EQ(fields["lut2"], "Mono");
  EXPECT_EQ(fields["lut2Opacity"], 200);
  // The first value byte in file order, whatever the byte order: 0 for a big-endian SHORT 7.
  EXPECT_EQ(fields["photoStyleCode"], le ? 7 : 0);
  EXPECT_EQ(fields["photoStyle"], le ? "Kod 7" : "Auto");
  EXPECT_EQ(fields["lutMetadataSource"], "panasonic-makernote");
  EXPECT_EQ(fields.size(), 7u);
}

TEST_P(PanasonicMakerNote, TruncatedAtEveryOffsetNeverCrashes) {
  bool le = GetParam();
  Bytes jpeg = testing::jpegWith({testing::exifSegment(testing::tiffWithMakerNote(le, fullMakerNote(le)))});
  std::size_t full = 0;
  for (std::size_t length = 0; length <= jpeg.size(); ++length) {
    Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(length));
    json::Value fields = fieldsOf(cut);
    EXPECT_LE(fields.size(), 7u);
    if (fields.size() == 7) ++full;
  }
  // The whole APP1 segment must be present before anything is read.
  EXPECT_GE(full, 1u);
  // Every byte changed in turn: still no crash, never more than the five fields.
  for (std::size_t at = 2; at < jpeg.size(); ++at) {
    Bytes changed = jpeg;
    changed[at] ^= 0xFF;
    EXPECT_LE(fieldsOf(changed).size(), 7u);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, PanasonicMakerNote, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "II" : "MM"; });

TEST(JpegExifTiffBase, SkipsXmpSegmentsAndStopsAtScan) {
  Bytes tiff = testing::tiffWithMakerNote(true, fullMakerNote(true));
  Bytes xmpFirst = testing::jpegWith({testing::xmpSegment("<x/>"), testing::exifSegment(tiff)});
  EXPECT_EQ(jpegExifTiffBase(xmpFirst), 2 + 4 + 29 + 4 + 4 + 6);
  EXPECT_EQ(fieldsOf(xmpFirst)["lut"], "Teal Orange");

  Bytes afterScan = testing::jpegWith({});
  Bytes exif = testing::exifSegment(tiff);
  afterScan.resize(afterScan.size() - 2);
  testing::appendTo(afterScan, exif);
  testing::appendTo(afterScan, Bytes{0xFF, 0xD9});
  EXPECT_FALSE(jpegExifTiffBase(afterScan));

  for (std::uint8_t length : {0, 1}) {
    Bytes bad{0xFF, 0xD8, 0xFF, 0xE1, 0, length, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I'};
    EXPECT_FALSE(jpegExifTiffBase(bad));
  }
  EXPECT_FALSE(jpegExifTiffBase(Bytes{0x89, 'P', 'N', 'G'}));
  // Fill bytes between segments are skipped one by one.
  Bytes filled = testing::jpegWith({Bytes{0x00, 0x00}, testing::exifSegment(tiff)});
  EXPECT_EQ(fieldsOf(filled)["lut2"], "Mono");
}

TEST(TiffReaderEntry, CountsOutsideOneTo4096GiveNothing) {
  for (std::uint16_t count : {0, 5000}) {
    Bytes tiff = testing::tiffWithMakerNote(true, fullMakerNote(true));
    tiff[8] = static_cast<std::uint8_t>(count);
    tiff[9] = static_cast<std::uint8_t>(count >> 8);
    EXPECT_TRUE(fieldsOf(testing::jpegWith({testing::exifSegment(tiff)})).empty()) << count;
  }
}

TEST(TiffReaderEntry, UnreadableEntriesOnlyLeaveOutTheirField) {
  TiffBuilder t(true);
  std::vector<TestEntry> entries = {
      {0xF1, 11, 1, t.u32(0x3F800000)},               // FLOAT: treated as missing
      {0xF3, 1, 0, Bytes{}},                          // no value byte
      {0xF4, 2, 6, TiffBuilder::ascii("      ")},     // only spaces
      {0xF5, 7, 2000000, t.u32(16)},                  // larger than 1 MiB
      {0x89, 1, 1, Bytes{17}},
  };
  json::Value fields = fieldsOf(testing::jpegWith({testing::exifSegment(testing::tiffWithMakerNote(true, entries))}));
  EXPECT_EQ(fields, json::Value({{"photoStyleCode", 17}, {"photoStyle", "V-Log"},
                                 {"lutMetadataSource", "panasonic-makernote"}}));

  std::vector<TestEntry> invalidUtf8 = {{0xF1, 2, 6, Bytes{'A', 0xC3, 0x28, 'B', 'C', 0}}};
  EXPECT_TRUE(fieldsOf(testing::jpegWith({testing::exifSegment(testing::tiffWithMakerNote(true, invalidUtf8))}))
                  .empty());
}

TEST(TiffReaderEntry, RejectsOtherMakerNotesAndByteOrders) {
  // "Panasonic" plus four bytes: 13 in all, one short of the minimum.
  TiffBuilder t(true);
  std::size_t makerPointer = 0;
  {
    std::vector<std::size_t> fields;
    t.writeIfd({{0x8769, 4, 1, t.u32(0)}}, &fields);
    t.patch32(fields[0], static_cast<std::uint32_t>(t.out.size()));
    std::vector<std::size_t> exifFields;
    t.writeIfd({{0x927C, 7, 13, t.u32(0)}}, &exifFields);
    makerPointer = exifFields[0];
    t.patch32(makerPointer, static_cast<std::uint32_t>(t.out.size()));
    t.append(TiffBuilder::ascii("Panasonic\0\0\0\0"));
  }
  EXPECT_TRUE(fieldsOf(testing::jpegWith({testing::exifSegment(t.out)})).empty());

  Bytes otherMaker = testing::tiffWithMakerNote(true, fullMakerNote(true), std::string_view("Nikon\0\0\0\0\0\0\0", 12));
  EXPECT_TRUE(fieldsOf(testing::jpegWith({testing::exifSegment(otherMaker)})).empty());

  Bytes wrongOrder = testing::tiffWithMakerNote(true, fullMakerNote(true));
  wrongOrder[0] = wrongOrder[1] = 'X';
  EXPECT_TRUE(fieldsOf(testing::jpegWith({testing::exifSegment(wrongOrder)})).empty());
}

TEST(PanasonicMakerNoteFile, ReadsOnlyTheFirst4MiBAndNeverBlocks) {
  char dir[] = "/tmp/tagscope-tiff-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string big = std::string(dir) + "/big.jpg";
  Bytes jpeg = testing::jpegWith({testing::exifSegment(testing::tiffWithMakerNote(false, fullMakerNote(false)))});
  jpeg.resize(5 * 1024 * 1024, 0x11);
  {
    std::ofstream out(big, std::ios::binary);
    out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  }
  EXPECT_EQ(panasonicMakerNoteFields(big)["lut"], "Teal Orange");

  std::string fifo = std::string(dir) + "/pipe.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(panasonicMakerNoteFields(fifo).empty());
  EXPECT_TRUE(panasonicMakerNoteFields(std::string(dir)).empty());
  EXPECT_TRUE(panasonicMakerNoteFields(std::string(dir) + "/missing.jpg").empty());
  std::remove(big.c_str());
  std::remove(fifo.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace tagscope
