#include "report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <lcms2.h>

#include "jpeg_builder.h"
#include "line_worker.h"

namespace tagscope {
namespace {

using testing::Bytes;
using testing::TestEntry;
using testing::TiffBuilder;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tagscope-report-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::string file = path + "/" + name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  std::string write(const std::string& name, const std::string& text) const {
    return write(name, Bytes(text.begin(), text.end()));
  }
  std::string path;
};

class Environment : public ::testing::Environment {
 public:
  void SetUp() override { initializeImagePropertyReader(); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

std::string xmpPacket(const std::string& descriptionAttributes, const std::string& body = "") {
  return "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
         "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
         "xmlns:crs='http://ns.adobe.com/camera-raw-settings/1.0/' xmlns:xmp='http://ns.adobe.com/xap/1.0/' " +
         descriptionAttributes + ">" + body + "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
}

// Rows compare by their written form: keys sorted as on output.
std::string written(const json::Value& row) { return json::write(row).value_or("unwritable"); }

Bytes iccSegment() {
  cmsHPROFILE profile = cmsCreate_sRGBProfile();
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes icc(size);
  cmsSaveProfileToMem(profile, icc.data(), &size);
  cmsCloseProfile(profile);
  std::string_view id("ICC_PROFILE\0", 12);
  Bytes payload(id.begin(), id.end());
  payload.push_back(1);
  payload.push_back(1);
  testing::appendTo(payload, icc);
  return testing::segment(0xE2, payload);
}

// A RATIONAL or SRATIONAL value: numerator and denominator in the TIFF's
// byte order.
Bytes rationalBytes(const TiffBuilder& t, std::uint32_t numerator, std::uint32_t denominator) {
  Bytes b = t.u32(numerator);
  testing::appendTo(b, t.u32(denominator));
  return b;
}

// IFD0 with Make, Model, Software and the EXIF pointer; the EXIF IFD with
// exposure, aperture, focal length, ISO, date and colour space.
Bytes cameraTiff(const std::string& software) {
  TiffBuilder t(true);
  auto rational = [&](std::uint32_t n, std::uint32_t d) { return rationalBytes(t, n, d); };
  std::vector<std::size_t> fields;
  std::string sw = software + std::string(1, '\0');
  t.writeIfd({{0x010F, 2, 6, TiffBuilder::ascii(std::string_view("Maker\0", 6))},
              {0x0110, 2, 8, TiffBuilder::ascii(std::string_view(" Cam 1\n\0", 8))},
              {0x0131, 2, static_cast<std::uint32_t>(sw.size()), TiffBuilder::ascii(sw)},
              {0x8769, 4, 1, t.u32(0)}},
             &fields);
  t.patch32(fields[3], static_cast<std::uint32_t>(t.out.size()));
  t.writeIfd({{0x829A, 5, 1, rational(3, 10)},
              {0x829D, 5, 1, rational(28, 10)},
              {0x8827, 3, 2, Bytes{0x90, 0x01, 0x20, 0x03}},
              {0x9003, 2, 20, TiffBuilder::ascii(std::string_view("2024:05:01 14:03:22\0", 20))},
              {0x920A, 5, 1, rational(50, 1)},
              {0xA001, 3, 1, t.u16(65535)}});
  return t.out;
}

TEST(ReportHelpers, ShutterTexts) {
  auto shutter = [](double t) { return shutterString({{"ExposureTime", std::vector<double>{t}}}); };
  EXPECT_EQ(shutter(1.0 / 200), "1/200");
  EXPECT_EQ(shutter(0.3), "1/3");
  EXPECT_EQ(shutter(2), "2.0s");
  EXPECT_EQ(shutter(2.5), "2.5s");
  EXPECT_EQ(shutter(0), std::nullopt);
  EXPECT_EQ(shutter(-1), std::nullopt);
  EXPECT_EQ(shutter(1e-300), std::nullopt);
  EXPECT_EQ(shutterString({{"ExposureTime", std::string("1/200")}}), std::nullopt);
}

TEST(ReportHelpers, SignedCoordinates) {
  EXPECT_EQ(signedCoordinate(48, "s", 'N', 'S', 90), -48);
  EXPECT_EQ(signedCoordinate(48, "N", 'N', 'S', 90), 48);
  EXPECT_EQ(signedCoordinate(48, std::nullopt, 'N', 'S', 90), 48);
  EXPECT_EQ(signedCoordinate(48, "E", 'N', 'S', 90), std::nullopt);
  EXPECT_EQ(signedCoordinate(95, "N", 'N', 'S', 90), std::nullopt);
  EXPECT_EQ(signedCoordinate(-1, "N", 'N', 'S', 90), std::nullopt);
  EXPECT_EQ(signedCoordinate(180, "w", 'E', 'W', 180), -180);
}

TEST(ReportHelpers, SidecarPaths) {
  EXPECT_EQ(sidecarPath("/p/IMG_1.RW2", "xmp"), "/p/IMG_1.xmp");
  EXPECT_EQ(sidecarPath("/p/a.b/photo", "XMP"), "/p/a.b/photo.XMP");
  EXPECT_EQ(sidecarPath("/p/.hidden", "xmp"), "/p/.hidden.xmp");
}

TEST(RowFor, FileWithoutMetadataGivesOnlyThePath) {
  TempDir dir;
  std::string file = dir.write("bare.jpg", testing::jpegWith({}));
  EXPECT_EQ(written(rowFor(file)), written(json::Value({{"path", file}})));
  std::string text = dir.write("notes.jpg", std::string("just some text"));
  EXPECT_EQ(written(rowFor(text)), written(json::Value({{"path", text}})));
  EXPECT_EQ(rowFor(dir.path), json::Value({{"path", dir.path}}));
}

TEST(RowFor, ColourProfileOnly) {
  TempDir dir;
  std::string file = dir.write("icc.jpg", testing::jpegWith({iccSegment()}));
  EXPECT_EQ(written(rowFor(file)), written(json::Value({{"path", file}, {"colorProfile", "sRGB built-in"},
                                                      {"look", "sRGB built-in"}, {"metadataSource", "embedded-exif"}})));
}

TEST(RowFor, CameraPropertiesAndBlankSoftware) {
  TempDir dir;
  std::string file = dir.write("cam.jpg", testing::jpegWith({testing::exifSegment(cameraTiff("   ")),
                                                             testing::xmpSegment(xmpPacket("xmp:CreatorTool='Editor'"))}));
  json::Value row = rowFor(file);
  EXPECT_EQ(row["make"], "Maker");
  EXPECT_EQ(row["model"], "Cam 1");
  EXPECT_EQ(row["software"], "");  // the blank TIFF value stays ahead of the XMP creator tool
  EXPECT_EQ(row["shutter"], "1/3");
  EXPECT_EQ(row["aperture"], 2.8);
  EXPECT_EQ(row["focalLength"], 50);
  EXPECT_EQ(row["iso"], 400);
  EXPECT_EQ(row["capturedAt"], "2024:05:01 14:03:22");
  EXPECT_EQ(row["look"], "Uncalibrated");
  EXPECT_EQ(row["metadataSource"], "embedded-xmp");
}

TEST(RowFor, PanasonicLutBeatsXmpLook) {
  TempDir dir;
  TiffBuilder t(true);
  Bytes tiff = testing::tiffWithMakerNote(true, {{0xF1, 2, 10, TiffBuilder::ascii(std::string_view("Film Warm\0", 10))}});
  std::string file = dir.write(
      "p.jpg", testing::jpegWith({testing::exifSegment(tiff),
                                  testing::xmpSegment(xmpPacket("crs:LookName='Xmp Look' crs:CameraProfile='Std'"))}));
  json::Value row = rowFor(file);
  EXPECT_EQ(row["lut"], "Film Warm");
  EXPECT_EQ(row["look"], "Film Warm");
  EXPECT_EQ(row["lutMetadataSource"], "panasonic-makernote");
  EXPECT_EQ(row["cameraProfile"], "Std");
  EXPECT_EQ(row["make"], "Panasonic");
}

TEST(RowFor, SidecarValuesReplaceEmbeddedOnes) {
  TempDir dir;
  Bytes jpeg = testing::jpegWith({testing::xmpSegment(
      xmpPacket("xmp:CreatorTool='Embedded Tool' crs:CameraProfile='Embedded Profile'"))});
  std::string plain = dir.write("a.jpg", jpeg);
  EXPECT_EQ(written(rowFor(plain)), written(json::Value({{"path", plain}, {"cameraProfile", "Embedded Profile"},
                                        {"look", "Embedded Profile"}, {"metadataSource", "embedded-xmp"},
                                        {"software", "Embedded Tool"}})));

  std::string withSidecar = dir.write("b.jpg", jpeg);
  dir.write("b.xmp", xmpPacket("crs:CameraProfile='Sidecar Profile'",
                               "<crs:Look><rdf:Description crs:Name='Sidecar Look'/></crs:Look>"));
  dir.write("b.XMP", xmpPacket("crs:CameraProfile='Second Sidecar'"));
  json::Value row = rowFor(withSidecar);
  EXPECT_EQ(row["cameraProfile"], "Sidecar Profile");
  EXPECT_EQ(row["lut"], "Sidecar Look");
  EXPECT_EQ(row["look"], "Sidecar Look");
  EXPECT_EQ(row["software"], "Embedded Tool");
  EXPECT_EQ(row["metadataSource"], "xmp-sidecar");

  std::string emptySidecar = dir.write("c.jpg", jpeg);
  dir.write("c.XMP", std::string());
  row = rowFor(emptySidecar);
  EXPECT_EQ(row["cameraProfile"], "Embedded Profile");
  EXPECT_EQ(row["metadataSource"], "xmp-sidecar");

  std::string bare = dir.write("d.jpg", testing::jpegWith({}));
  dir.write("d.xmp", std::string("<x><y>broken"));
  EXPECT_EQ(written(rowFor(bare)), written(json::Value({{"path", bare}, {"metadataSource", "xmp-sidecar"}})));
}

// An FNumber stored with the given type and value, and a GPS latitude of
// 45° 30' and a number of seconds.
Bytes apertureAndLatitudeTiff(std::uint16_t fNumberType, std::uint32_t numerator, std::uint32_t denominator,
                              std::uint32_t secondsNumerator, std::uint32_t secondsDenominator) {
  TiffBuilder t(true);
  auto rational = [&](std::uint32_t n, std::uint32_t d) { return rationalBytes(t, n, d); };
  std::vector<std::size_t> fields;
  t.writeIfd({{0x8769, 4, 1, t.u32(0)}, {0x8825, 4, 1, t.u32(0)}}, &fields);
  t.patch32(fields[0], static_cast<std::uint32_t>(t.out.size()));
  t.writeIfd({{0x829D, fNumberType, 1, rational(numerator, denominator)}});
  t.patch32(fields[1], static_cast<std::uint32_t>(t.out.size()));
  Bytes latitude = rational(45, 1);
  testing::appendTo(latitude, rational(30, 1));
  testing::appendTo(latitude, rational(secondsNumerator, secondsDenominator));
  t.writeIfd({{0x0001, 2, 2, TiffBuilder::ascii(std::string_view("N\0", 2))}, {0x0002, 5, 3, latitude}});
  return t.out;
}

TEST(RowFor, RationalsUnsignedAndSigned) {
  struct Case {
    const char* what;
    std::uint16_t type;  // 5 RATIONAL (unsigned), 10 SRATIONAL (signed)
    std::uint32_t numerator, denominator;
    std::optional<double> aperture;
  };
  const Case cases[] = {
      {"unsigned numerator of 2^31 and more", 5, 4000000000u, 1000000000u, 4.0},
      {"unsigned, both the largest", 5, 4294967295u, 4294967295u, 1.0},
      {"unsigned 2^31 over 2^31", 5, 2147483648u, 2147483648u, 1.0},
      {"unsigned, zero denominator", 5, 1, 0, std::nullopt},
      {"signed, both negative", 10, static_cast<std::uint32_t>(-8), static_cast<std::uint32_t>(-2), 4.0},
      {"signed, the smallest numerator", 10, 0x80000000u, 1, -2147483648.0},
      {"signed minus one", 10, 0xFFFFFFFFu, 4, -0.25},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir.write(
        "r.jpg", testing::jpegWith({testing::exifSegment(
                     apertureAndLatitudeTiff(c.type, c.numerator, c.denominator, 12345, 4294967295u))}));
    const json::Value row = rowFor(file);
    if (c.aperture) {
      ASSERT_TRUE(row.contains("aperture")) << written(row);
      EXPECT_DOUBLE_EQ(row["aperture"].get<double>(), *c.aperture);
    } else {
      EXPECT_FALSE(row.contains("aperture")) << written(row);
    }
    // 12345 / 4294967295 of a second: the latitude stays 45.5 to the nanodegree.
    ASSERT_TRUE(row.contains("gpsLat")) << written(row);
    EXPECT_NEAR(row["gpsLat"].get<double>(), 45.5, 1e-9);
  }
}

TEST(LineWorker, AnswersEveryLineInOrderAndSkipsBlankOnes) {
  TempDir dir;
  std::string a = dir.write("a.jpg", testing::jpegWith({iccSegment()}));
  std::string b = dir.write("b.jpg", testing::jpegWith({}));
  std::string fifo = dir.path + "/pipe.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string longLine(100000, 'x');
  std::string input = "  " + a + " \r\n\n   \n" + b + "\n" + fifo + "\n" + dir.path + "\n" + longLine + "\n" +
                      dir.path + "/\xff\xfe.jpg\n" + a;  // the last line has no line feed
  std::string inputFile = dir.write("input.txt", input);
  std::string outputFile = dir.path + "/output.txt";
  std::string command = std::string(ORVAN_BIN_DIR) + "/tagscope < '" + inputFile + "' > '" + outputFile + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);

  std::ifstream out(outputFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  std::string escapedDir;
  for (char c : dir.path) escapedDir += c == '/' ? std::string("\\/") : std::string(1, c);
  std::string aRow = "{\"colorProfile\":\"sRGB built-in\",\"look\":\"sRGB built-in\",\"metadataSource\":"
                     "\"embedded-exif\",\"path\":\"" + escapedDir + "\\/a.jpg\"}";
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], aRow);
  EXPECT_EQ(lines[1], "{\"path\":\"" + escapedDir + "\\/b.jpg\"}");
  EXPECT_EQ(lines[2], "{\"path\":\"" + escapedDir + "\\/pipe.jpg\"}");
  EXPECT_EQ(lines[3], "{\"path\":\"" + escapedDir + "\"}");
  EXPECT_EQ(lines[4], "{\"path\":\"" + longLine + "\"}");
  EXPECT_EQ(lines[5], "{\"path\":\"" + escapedDir + "\\/\xEF\xBF\xBD\xEF\xBF\xBD.jpg\"}");
  EXPECT_EQ(lines[6], aRow);
}

}  // namespace
}  // namespace tagscope
