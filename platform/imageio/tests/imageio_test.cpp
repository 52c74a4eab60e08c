#include "imageio.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

// As lsan.supp, built in: the HEVC encoder that vips uses to write the HEIC
// fixtures leaks about 1 KB per encode.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

namespace fs = std::filesystem;
using imageio::Orientation;
using imageio::Raster;
using imageio::Source;
using Bytes = std::vector<std::uint8_t>;
using Rgb = std::array<int, 3>;
constexpr Rgb red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, white{255, 255, 255};

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using ImagePtr = std::unique_ptr<VipsImage, Unref>;

template <typename T>  // uint8_t, uint16_t or float samples
ImagePtr fromSamples(const std::vector<T>& samples, int width, int height, int bands,
                     VipsInterpretation interpretation) {
  const auto format = sizeof(T) == 1   ? VIPS_FORMAT_UCHAR
                      : sizeof(T) == 2 ? VIPS_FORMAT_USHORT
                                       : VIPS_FORMAT_FLOAT;
  ImagePtr raw(vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(T), width,
                                               height, bands, format));
  VipsImage* out = nullptr;
  vips_copy(raw.get(), &out, "interpretation", interpretation, nullptr);
  return ImagePtr(out);
}

// Quadrants TL red, TR green, BL blue, BR white: each flip or turn moves them
// differently.
ImagePtr quadrants(int width, int height, int orientation = 0, double dpi = 0) {
  std::vector<std::uint8_t> samples;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const bool right = x >= (width + 1) / 2, bottom = y >= (height + 1) / 2;
      for (int c : bottom ? (right ? white : blue) : (right ? green : red))
        samples.push_back(std::uint8_t(c));
    }
  ImagePtr image = fromSamples(samples, width, height, 3, VIPS_INTERPRETATION_sRGB);
  if (orientation) vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientation);
  if (dpi) image->Xres = image->Yres = dpi / 25.4;
  return image;
}

ImagePtr noise(int width, int height, int orientation = 0) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> samples(std::size_t(width) * height * 3);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = std::uint8_t(i / 12 % 200 + random() % 50);
  ImagePtr image = fromSamples(samples, width, height, 3, VIPS_INTERPRETATION_sRGB);
  if (orientation) vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientation);
  return image;
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = ~0u;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xedb88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::size_t findPngChunk(const Bytes& png, const char* type) {
  for (std::size_t at = 8; at + 8 <= png.size();
       at += 12 + (std::size_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]))
    if (std::memcmp(&png[at + 4], type, 4) == 0) return at;
  return std::string::npos;
}

// An uncompressed 2x1 grey TIFF with no resolution tags.
Bytes tinyTiff(std::uint16_t orientation) {
  const std::uint16_t tags[][2] = {{256, 2},   {257, 1},           {258, 8}, {259, 1}, {262, 1},
                                   {273, 134}, {274, orientation}, {277, 1}, {278, 1}, {279, 2}};
  Bytes t = {'I', 'I', 42, 0, 8, 0, 0, 0, 10, 0};
  for (auto [tag, value] : tags)
    t.insert(t.end(), {std::uint8_t(tag), std::uint8_t(tag >> 8), 3, 0, 1, 0, 0, 0,
                       std::uint8_t(value), std::uint8_t(value >> 8), 0, 0});
  t.insert(t.end(), {0, 0, 0, 0, 10, 200});  // no next IFD; pixels at offset 134
  return t;
}

class ImageIoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(imageio::initialize()); }
  void SetUp() override {
    char pattern[] = "/tmp/imageio_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes with vips; `name` may carry saver options: "x.jpg[Q=100]".
  std::string save(VipsImage* image, const std::string& name) {
    EXPECT_EQ(vips_image_write_to_file(image, (dir_ + "/" + name).c_str(), nullptr), 0);
    return dir_ + "/" + name.substr(0, name.find('['));
  }
  std::string put(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return dir_ + "/" + name;
  }
  std::string dir_;
};

int sample(const Raster& r, std::int64_t x, std::int64_t y, int c) {
  const std::size_t i = (std::size_t(y) * r.width + x) * 4 + c;
  return r.bitsPerComponent == 16 ? r.data16()[i] : r.data[i];
}

void expectColour(const Raster& r, std::int64_t x, std::int64_t y, Rgb expected, int tolerance) {
  const int shift = r.bitsPerComponent == 16 ? 8 : 0;
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(sample(r, x, y, c) >> shift, expected[c], tolerance) << "at " << x << "," << y;
}

TEST_F(ImageIoTest, PropertiesAndPixelsOfEachFormat) {
  ImagePtr rgb = quadrants(40, 30);
  VipsImage *rgba = nullptr, *rgb16 = nullptr;
  vips_bandjoin_const1(rgb.get(), &rgba, 128, nullptr);
  vips_colourspace(rgb.get(), &rgb16, VIPS_INTERPRETATION_RGB16, nullptr);
  ImagePtr keepA(rgba), keep16(rgb16);
  const std::tuple<VipsImage*, const char*, const char*, int> cases[] = {
      {rgb.get(), "a.jpg", "jpeg", 8}, {rgba, "a.png", "png", 8},    {rgb16, "b.png", "png", 16},
      {rgb.get(), "a.tif", "tiff", 8}, {rgb16, "b.tif", "tiff", 16}, {rgba, "a.webp", "webp", 8},
      {rgb.get(), "a.heic", "heif", 8}};
  for (auto [image, name, format, bits] : cases) {
    SCOPED_TRACE(name);
    auto source = Source::open(save(image, name));
    ASSERT_TRUE(source);
    const auto& p = source->properties();
    const bool alpha = image == rgba;
    EXPECT_EQ(std::tie(p.pixelWidth, p.pixelHeight, p.format, p.bitsPerComponent, p.hasAlpha),
              std::make_tuple(40, 30, std::string(format), bits, alpha));
    auto raster = source->decode(Orientation::stored);
    ASSERT_TRUE(raster);
    EXPECT_EQ(raster->bitsPerComponent, bits);
    expectColour(*raster, 2, 2, red, 40);
    expectColour(*raster, 37, 27, white, 40);
    EXPECT_EQ(sample(*raster, 5, 5, 3), alpha ? 128 : bits == 16 ? 65535 : 255);
  }
}

TEST_F(ImageIoTest, ResolutionOnlyWhenRecorded) {
  ImagePtr plain = quadrants(8, 8), at300 = quadrants(8, 8, 0, 300);
  const std::string stripped = save(plain.get(), "none.jpg[strip]"),
                    png = save(at300.get(), "phys.png");
  std::vector<std::pair<std::string, std::optional<double>>> cases = {
      {save(at300.get(), "exif.jpg"), 300},
      {stripped, {}},
      {png, 300},
      {save(at300.get(), "in.tif[resunit=inch]"), 300},
      {save(at300.get(), "cm.tif[resunit=cm]"), 300},
      {save(at300.get(), "exif.webp"), 300},
      {save(at300.get(), "exif.heic"), 300},
      {save(plain.get(), "none.heic[strip]"), {}},
      {put("none.tif", tinyTiff(1)), {}}};
  Bytes noPhys = readBytes(png);
  const auto phys = noPhys.begin() + std::ptrdiff_t(findPngChunk(noPhys, "pHYs"));
  noPhys.erase(phys, phys + 21);  // length, type, 9 bytes, CRC
  cases.emplace_back(put("none.png", noPhys), std::nullopt);
  // JFIF density without EXIF: inches count, unit 0 (aspect ratio only) doesn't.
  for (std::uint8_t unit : {1, 0}) {
    Bytes jfif = readBytes(stripped);
    const Bytes app0 = {0xff, 0xe0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, unit, 1, 44, 1, 44, 0, 0};
    jfif.insert(jfif.begin() + 2, app0.begin(), app0.end());
    cases.emplace_back(put("jfif" + std::to_string(unit) + ".jpg", jfif),
                       unit ? 300 : std::optional<double>());
  }
  for (const auto& [file, dpi] : cases) {
    auto source = Source::open(file);
    ASSERT_TRUE(source) << file;
    const auto& p = source->properties();
    ASSERT_EQ(p.dpiWidth.has_value(), dpi.has_value()) << file;
    EXPECT_EQ(p.dpiWidth, dpi) << file;  // exact: tidied to the value written
    EXPECT_EQ(p.dpiHeight, dpi) << file;
  }
}

TEST_F(ImageIoTest, BadFilesGiveNothingAndPrintNothing) {
  const Bytes jpeg = readBytes(save(noise(600, 400).get(), "good.jpg"));
  const Bytes png = readBytes(save(noise(600, 400).get(), "good.png"));
  Bytes scrambled = jpeg;  // intact headers, random entropy-coded data
  std::size_t at = 2;
  while (!(scrambled[at] == 0xff && scrambled[at + 1] == 0xda)) ++at;
  std::mt19937 random(11);
  for (at += 20; at + 2 < scrambled.size(); ++at) scrambled[at] = std::uint8_t(random());
  Bytes garbage(4096);
  for (auto& b : garbage) b = std::uint8_t(random());
  fs::create_directory(dir_ + "/dir.jpg");

  testing::internal::CaptureStderr();
  for (const auto& file :
       {dir_ + "/missing.jpg", dir_ + "/dir.jpg", put("zero.jpg", {}), put("garbage.png", garbage)})
    EXPECT_FALSE(Source::open(file)) << file;
  for (const auto& file : {put("half.jpg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)),
                           put("nearly.jpg", Bytes(jpeg.begin(), jpeg.end() - 200)),
                           put("half.png", Bytes(png.begin(), png.begin() + png.size() / 2)),
                           put("scrambled.jpg", scrambled)}) {
    auto source = Source::open(file);
    ASSERT_TRUE(source) << file;  // the header is fine
    EXPECT_FALSE(source->decode(Orientation::applied)) << file;
    EXPECT_FALSE(source->thumbnail(50, Orientation::applied)) << file;
    // In the background the damage shows when the decode ends; rows it never
    // reached read as zeros.
    auto pending = source->decodeInBackground(Orientation::applied);
    if (pending) {
      pending->waitForRows(pending->height());
      EXPECT_FALSE(pending->finish()) << file;
    }
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(vips_error_buffer(), "");
}

TEST_F(ImageIoTest, PixelLimitRefusesHugeDeclaredPngBeforeDecoding) {
  Bytes png = readBytes(save(quadrants(1, 1).get(), "tiny.png"));
  const std::size_t ihdr = findPngChunk(png, "IHDR");
  for (std::size_t i : {ihdr + 9, ihdr + 13})
    png[i] = 0x01, png[i + 1] = 0x86, png[i + 2] = 0xa0;  // 100000
  const std::uint32_t crc = crc32(&png[ihdr + 4], 17);
  for (int i = 0; i < 4; ++i) png[ihdr + 21 + i] = std::uint8_t(crc >> (24 - 8 * i));
  auto source = Source::open(put("huge.png", png));
  ASSERT_TRUE(source);
  EXPECT_EQ(source->properties().pixelWidth * source->properties().pixelHeight, 10'000'000'000);

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(source->decode(Orientation::applied, {50'000'000}));
  EXPECT_FALSE(source->thumbnail(256, Orientation::applied, {50'000'000}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 50'000);  // kB

  auto small = Source::open(save(quadrants(10, 20).get(), "small.png"));
  EXPECT_TRUE(small->decode(Orientation::stored, {200}));  // the limit is inclusive
  EXPECT_FALSE(small->decode(Orientation::stored, {199}));
  EXPECT_FALSE(small->thumbnail(5, Orientation::stored, {199}));
}

TEST_F(ImageIoTest, NothingStaysBehindAfterDecoding) {
  const std::string file = save(noise(2000, 1500, 6).get(), "big.jpg");  // rotated in memory
  auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  auto decode = [&] {
    auto source = Source::open(file);
    EXPECT_TRUE(source->decode(Orientation::applied) &&
                source->thumbnail(300, Orientation::applied));
    return source;
  };
  decode();  // warms up vips' worker threads
  const auto descriptors = fds();
  const std::size_t memory = vips_tracked_get_mem();
  auto source = decode();
  EXPECT_EQ(fds(), descriptors);                          // a Source keeps no file open
  // nor decoded pixels (12 MB here); vips' workers may still hold a few
  // small buffers for a moment on a loaded machine.
  EXPECT_LT(vips_tracked_get_mem(), memory + 6'000'000);
}

// Where stored pixel (x, y) of a w x h image lands under EXIF orientation o.
std::pair<int, int> upright(int o, int x, int y, int w, int h) {
  const std::pair<int, int> at[] = {{x, y}, {w - 1 - x, y}, {w - 1 - x, h - 1 - y}, {x, h - 1 - y},
                                    {y, x}, {h - 1 - y, x}, {h - 1 - y, w - 1 - x}, {y, w - 1 - x}};
  return at[o - 1];
}

void expectOriented(const std::optional<Raster>& r, int o, int w, int h, int tolerance, int inset) {
  ASSERT_TRUE(r);
  ASSERT_EQ(r->width, o >= 5 ? h : w);
  ASSERT_EQ(r->height, o >= 5 ? w : h);
  const int l = inset, t = inset, rt = w - 1 - inset, b = h - 1 - inset;
  for (auto [x, y, colour] :
       {std::tuple{l, t, red}, {rt, t, green}, {l, b, blue}, {rt, b, white}}) {
    const auto [ux, uy] = upright(o, x, y, w, h);
    SCOPED_TRACE("orientation " + std::to_string(o) + ", stored " + std::to_string(x) + "," +
                 std::to_string(y));
    expectColour(*r, ux, uy, colour, tolerance);
  }
}

TEST_F(ImageIoTest, OrientationAppliedOrKept) {
  for (int o = 1; o <= 8; ++o) {
    const std::string tif = save(quadrants(3, 2, o).get(), "o.tif");  // lossless
    const std::string jpg = save(quadrants(64, 32, o).get(), "o.jpg[Q=100]");
    for (auto [file, w, h, tolerance, inset] :
         {std::tuple{tif, 3, 2, 0, 0}, {jpg, 64, 32, 12, 4}}) {
      auto source = Source::open(file);
      ASSERT_TRUE(source);
      EXPECT_EQ(source->properties().orientation, o);
      EXPECT_EQ(source->properties().pixelWidth, w);
      expectOriented(source->decode(Orientation::applied), o, w, h, tolerance, inset);
      expectOriented(source->decode(Orientation::stored), 1, w, h, tolerance, inset);
      if (w < 64) continue;  // thumbnails via JPEG shrink-on-load
      expectOriented(source->thumbnail(w / 4, Orientation::applied), o, w / 4, h / 4, 40, 1);
      expectOriented(source->thumbnail(w / 4, Orientation::stored), 1, w / 4, h / 4, 40, 1);
    }
  }
  auto invalid = Source::open(put("o9.tif", tinyTiff(9)));
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid->properties().orientation, 1);
  auto grey = invalid->decode(Orientation::applied);  // grey becomes RGB, opaque
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->data, (Bytes{10, 10, 10, 255, 200, 200, 200, 255}));
}

TEST_F(ImageIoTest, DeepAndNonRgbSources) {
  const std::vector<std::uint16_t> values = {0, 1, 255, 256, 257, 12345, 32768, 65534, 65535};
  std::vector<std::uint16_t> deep;
  for (auto v : values) deep.insert(deep.end(), {v, std::uint16_t(65535 - v), v});
  auto source =
      Source::open(save(fromSamples(deep, 9, 1, 3, VIPS_INTERPRETATION_RGB16).get(), "d.tif"));
  auto raster = source->decode(Orientation::applied);
  ASSERT_TRUE(raster && raster->bitsPerComponent == 16);
  for (int i = 0; i < 9; ++i)
    EXPECT_EQ((Rgb{sample(*raster, i, 0, 0), sample(*raster, i, 0, 1), sample(*raster, i, 0, 3)}),
              (Rgb{values[i], 65535 - values[i], 65535}));
  auto png = imageio::encodePng(*raster, 16, 300);  // exact round trip
  ASSERT_TRUE(png);
  auto back = Source::open(put("d.png", *png))->decode(Orientation::stored);
  EXPECT_EQ(back->data, raster->data);

  // Float TIFF: 0..1 scales to 16 bits, rounded and clipped.
  const std::vector<float> floats = {0.0f, 0.5f, 1.0f, 1.5f, -0.25f, 0.25f};
  raster =
      Source::open(save(fromSamples(floats, 2, 1, 3, VIPS_INTERPRETATION_scRGB).get(), "f.tif"))
          ->decode(Orientation::stored);
  ASSERT_TRUE(raster && raster->bitsPerComponent == 16);
  EXPECT_EQ(std::vector<int>(raster->data16(), raster->data16() + 8),
            (std::vector<int>{0, 32768, 65535, 65535, 65535, 0, 16384, 65535}));

  const std::vector<std::uint8_t> greyAlpha = {30, 255, 220, 100};
  raster =
      Source::open(save(fromSamples(greyAlpha, 2, 1, 2, VIPS_INTERPRETATION_B_W).get(), "ga.png"))
          ->decode(Orientation::stored);
  EXPECT_EQ(raster->data, (Bytes{30, 30, 30, 255, 220, 220, 220, 100}));

  // CMYK: top half full black ink, bottom half no ink; four bands, no alpha.
  std::vector<std::uint8_t> cmyk(16 * 8 * 4, 0);
  for (std::size_t i = 3; i < cmyk.size() / 2; i += 4) cmyk[i] = 255;
  source = Source::open(
      save(fromSamples(cmyk, 16, 8, 4, VIPS_INTERPRETATION_CMYK).get(), "k.jpg[Q=100]"));
  EXPECT_FALSE(source->properties().hasAlpha);
  raster = source->decode(Orientation::stored);
  ASSERT_TRUE(raster);
  expectColour(*raster, 8, 1, {25, 25, 25}, 35);
  expectColour(*raster, 8, 6, white, 10);
  EXPECT_EQ(sample(*raster, 8, 6, 3), 255);
}

TEST_F(ImageIoTest, ThumbnailLongEdgeIsExactAndNeverEnlarged) {
  ImagePtr wide = quadrants(1999, 1001), tall = quadrants(301, 1200);
  for (const auto& file : {save(wide.get(), "w.jpg"), save(tall.get(), "t.png"),
                           save(tall.get(), "t.webp"), save(wide.get(), "w.tif")}) {
    auto source = Source::open(file);
    const auto w = source->properties().pixelWidth, h = source->properties().pixelHeight;
    for (int edge : {1, 3, 50, 99, 100, 250, 333, 999, 1000, int(std::max(w, h)), 5000}) {
      SCOPED_TRACE(file + " to " + std::to_string(edge));
      auto thumb = source->thumbnail(edge, Orientation::applied);
      ASSERT_TRUE(thumb);
      EXPECT_EQ(std::max(thumb->width, thumb->height),
                std::min<std::int64_t>(edge, std::max(w, h)));
      EXPECT_NEAR(double(std::min(thumb->width, thumb->height)),
                  std::max(1.0, double(std::min(w, h)) * std::min<double>(edge, std::max(w, h)) /
                                    std::max(w, h)),
                  1.0);
      if (edge < 50) continue;
      expectColour(*thumb, 1, 1, red, 40);
      expectColour(*thumb, thumb->width - 2, thumb->height - 2, white, 40);
    }
  }
}

TEST_F(ImageIoTest, ResizedGivesExactSidesUprightInBothDirections) {
  ImagePtr wide = quadrants(400, 201, 6);
  for (const auto& file : {save(wide.get(), "r.jpg"), save(wide.get(), "r.png")}) {
    auto source = Source::open(file);
    ASSERT_TRUE(source);
    // Orientation 6 when the JPEG keeps it: upright sides are swapped.
    const bool turned = source->properties().orientation == 6;
    for (auto [w, h] : {std::pair<int, int>{100, 37}, {1, 1}, {150, 300}, {900, 450}}) {
      SCOPED_TRACE(file + " to " + std::to_string(w) + "x" + std::to_string(h));
      auto raster = source->resized(w, h, Orientation::applied);
      ASSERT_TRUE(raster);
      EXPECT_EQ(std::make_pair(raster->width, raster->height), std::make_pair(std::int64_t{w}, std::int64_t{h}));
      if (w < 50) continue;
      // Stored top-left red lands top-right after a quarter turn clockwise.
      expectColour(*raster, turned ? w - 3 : 2, 2, red, 50);
    }
    EXPECT_FALSE(source->resized(0, 10, Orientation::applied));
    EXPECT_FALSE(source->resized(100, 50, Orientation::applied, {.maxPixels = 1000}));
  }
}

TEST_F(ImageIoTest, SizeInPointsScalesByRecordedResolution) {
  imageio::Properties p;
  p.pixelWidth = 4000;
  p.pixelHeight = 3000;
  auto points = imageio::sizeInPoints(p, Orientation::applied);
  EXPECT_EQ(std::make_pair(points.width, points.height), std::make_pair(4000.0, 3000.0));
  p.dpiWidth = p.dpiHeight = 300;
  p.orientation = 6;
  points = imageio::sizeInPoints(p, Orientation::applied);
  EXPECT_EQ(std::make_pair(points.width, points.height), std::make_pair(720.0, 960.0));
  points = imageio::sizeInPoints(p, Orientation::stored);
  EXPECT_EQ(std::make_pair(points.width, points.height), std::make_pair(960.0, 720.0));
  p.dpiWidth = 0;  // unusable: the pixel size
  EXPECT_EQ(imageio::sizeInPoints(p, Orientation::stored).width, 4000.0);
}

TEST_F(ImageIoTest, ThumbnailKeepsDepthAndResamplesPremultiplied) {
  // Opaque blue checkered with fully transparent red: no red may bleed in.
  std::vector<std::uint16_t> samples;
  for (int i = 0; i < 64 * 64; ++i) {
    const bool opaque = (i / 64 + i % 64) % 2 == 0;
    samples.insert(samples.end(),
                   {std::uint16_t(opaque ? 0 : 65535), 0, std::uint16_t(opaque ? 40000 : 0),
                    std::uint16_t(opaque ? 65535 : 0)});
  }
  auto source =
      Source::open(save(fromSamples(samples, 64, 64, 4, VIPS_INTERPRETATION_RGB16).get(), "a.png"));
  auto thumb = source->thumbnail(10, Orientation::applied);
  ASSERT_TRUE(thumb && thumb->bitsPerComponent == 16 && thumb->width == 10);
  EXPECT_LT(sample(*thumb, 5, 5, 0), 300);
  EXPECT_NEAR(sample(*thumb, 5, 5, 2), 40000, 300);
  EXPECT_NEAR(sample(*thumb, 5, 5, 3), 32768, 600);
}

TEST_F(ImageIoTest, EncodeJpeg) {
  Raster raster =
      *Source::open(save(noise(320, 200, 6).get(), "n.png"))->decode(Orientation::stored);
  for (std::size_t i = 3; i < raster.data.size(); i += 4) raster.data[i] = 0;
  auto low = imageio::encodeJpeg(raster, 0.2), high = imageio::encodeJpeg(raster, 0.95);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size() * 2, high->size());
  auto source = Source::open(put("n.jpg", *high));
  const auto& p = source->properties();
  EXPECT_EQ(std::tie(p.pixelWidth, p.hasAlpha, p.orientation), std::make_tuple(320, false, 1));
  EXPECT_FALSE(p.dpiWidth);  // no metadata at all
  ImagePtr loaded(vips_image_new_from_file((dir_ + "/n.jpg").c_str(), nullptr));
  EXPECT_FALSE(vips_image_get_typeof(loaded.get(), VIPS_META_EXIF_NAME));
  // Alpha is dropped, not composited: the mean brightness survives.
  auto mean = [](const Raster& r) {
    double sum = 0;
    for (std::size_t i = 0; i < r.data.size(); ++i) sum += i % 4 == 3 ? 0 : r.data[i];
    return sum / double(r.data.size() * 3 / 4);
  };
  EXPECT_NEAR(mean(*source->decode(Orientation::stored)), mean(raster), 1.0);

  Raster deep{16, 16, 16, Bytes(16 * 16 * 8)};  // high-order bytes 50, 200, 50
  for (int i = 0; i < 16 * 16 * 4; ++i) deep.data16()[i] = i % 4 == 1 ? 51400 : 12850;
  auto jpeg = imageio::encodeJpeg(deep, 1.0);
  ASSERT_TRUE(jpeg);
  expectColour(*Source::open(put("d.jpg", *jpeg))->decode(Orientation::stored), 8, 8, {50, 200, 50},
               2);
  EXPECT_FALSE(imageio::encodeJpeg(Raster{}, 0.8));
  EXPECT_FALSE(imageio::encodeJpeg(Raster{16, 16, 8, Bytes(10)}, 0.8));
}

TEST_F(ImageIoTest, EncodePngDepthAndResolution) {
  const Raster eight{3, 1, 8, {0, 1, 128, 7, 129, 254, 255, 0, 10, 20, 30, 40}};
  Raster sixteen{3, 1, 16, Bytes(24)};
  const std::uint16_t deep[] = {0, 128, 129, 9, 385, 65407, 65535, 0, 257, 514, 771, 1};
  std::memcpy(sixteen.data.data(), deep, sizeof deep);
  // 8 -> 16 replicates bytes; 16 -> 8 rounds to nearest.
  const std::vector<int> up = {0,     257,   32896, 65535, 33153, 65278,
                               65535, 65535, 2570,  5140,  7710,  65535};
  const std::vector<int> down = {0, 0, 1, 255, 1, 255, 255, 255, 1, 2, 3, 255};
  for (auto [raster, bits, expected] : {std::tuple{&eight, 16, up}, {&sixteen, 8, down}}) {
    auto png = imageio::encodePng(*raster, bits, 72);
    ASSERT_TRUE(png);
    auto source = Source::open(put("x.png", *png));
    EXPECT_EQ(source->properties().bitsPerComponent, bits);
    EXPECT_FALSE(source->properties().hasAlpha);
    auto decoded = source->decode(Orientation::stored);
    ASSERT_TRUE(decoded && decoded->width == 3);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(sample(*decoded, i / 4, 0, i % 4), expected[i]) << i;
  }
  for (double dpi : {300.0, 72.0, 1.0, 100000.0, 299.5}) {
    auto source = Source::open(put("r.png", *imageio::encodePng(eight, 8, dpi)));
    EXPECT_EQ(source->properties().dpiWidth, dpi);
    EXPECT_EQ(source->properties().dpiHeight, dpi);
  }
  EXPECT_FALSE(imageio::encodePng(eight, 12, 72));
  EXPECT_FALSE(imageio::encodePng(eight, 8, 0));
  EXPECT_FALSE(imageio::encodePng(Raster{}, 8, 72));
}

// Rows of a raster, written where the encoder asks; records what was asked.
struct CountingRows {
  explicit CountingRows(const Raster& raster) : raster(raster), seen(std::size_t(raster.height)) {}
  // With a delay, each call also waits (for at most two seconds from the
  // source's making, in all) until a second call is in flight, so that a
  // loaded machine cannot hide an encoder's concurrency by starting its
  // second worker late.
  imageio::RowSource source(std::chrono::microseconds delay = {}) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    return {raster.width, raster.height, raster.bitsPerComponent,
            [this, delay, until](std::int64_t top, std::int64_t rows, std::uint8_t* to, std::size_t skip) {
              const int now = ++inFlight;
              for (int was = mostInFlight;
                   now > was && !mostInFlight.compare_exchange_weak(was, now);) {
              }
              if (delay.count() > 0)
                while (mostInFlight < 2 && std::chrono::steady_clock::now() < until)
                  std::this_thread::sleep_for(std::chrono::microseconds(100));
              std::this_thread::sleep_for(delay);
              if (top < 0 || rows < 1 || top + rows > raster.height) {
                outside = true;
              } else {
                for (std::int64_t y = top; y < top + rows; ++y) {
                  ++seen[std::size_t(y)];
                  std::memcpy(to + std::size_t(y - top) * skip,
                              raster.data.data() + std::size_t(y) * raster.rowBytes(),
                              raster.rowBytes());
                }
              }
              --inFlight;
            }};
  }
  bool eachRowOnce() const {
    return std::all_of(seen.begin(), seen.end(), [](const auto& n) { return n == 1; });
  }
  const Raster& raster;
  std::vector<std::atomic<int>> seen;
  std::atomic<int> inFlight{0}, mostInFlight{0};
  std::atomic<bool> outside{false};
};

Raster noiseRaster(int width, int height, int bits) {
  Raster r{width, height, bits, Bytes(std::size_t(width) * height * (bits == 16 ? 8 : 4))};
  std::mt19937 random(3);
  for (std::size_t i = 0; i < r.data.size(); ++i)
    r.data[i] = std::uint8_t(i / 40 % 180 + random() % 60);
  return r;
}

TEST_F(ImageIoTest, StreamedEncodingGivesTheSamePixels) {
  const Raster eight = noiseRaster(257, 131, 8);  // the last strip is partial
  CountingRows rows(eight);
  auto jpeg = imageio::encodeJpeg(rows.source(), 0.9);
  ASSERT_TRUE(jpeg);
  EXPECT_TRUE(rows.eachRowOnce());
  EXPECT_EQ(jpeg, imageio::encodeJpeg(eight, 0.9));
  // vips reading the same memory directly: libjpeg is deterministic.
  ImagePtr memory(vips_image_new_from_memory(eight.data.data(), eight.data.size(), 257, 131, 4,
                                             VIPS_FORMAT_UCHAR));
  VipsImage* rgb = nullptr;
  void* reference = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(vips_extract_band(memory.get(), &rgb, 0, "n", 3, nullptr), 0);
  ImagePtr keep(rgb);
  ASSERT_EQ(vips_jpegsave_buffer(rgb, &reference, &size, "Q", 90, "strip", TRUE, nullptr), 0);
  // The same bytes but for our sRGB tag, an APP2 segment right after SOI.
  ASSERT_GT(jpeg->size(), 6u);
  ASSERT_EQ((*jpeg)[3], 0xE2);
  Bytes untagged = *jpeg;
  untagged.erase(untagged.begin() + 2, untagged.begin() + 4 + (untagged[4] << 8 | untagged[5]));
  EXPECT_EQ(untagged, Bytes(static_cast<std::uint8_t*>(reference),
                            static_cast<std::uint8_t*>(reference) + size));
  g_free(reference);

  Raster opaque = eight;
  for (std::size_t i = 3; i < opaque.data.size(); i += 4) opaque.data[i] = 255;
  auto png = imageio::encodePng(CountingRows(eight).source(), 8, 240);
  ASSERT_TRUE(png);
  auto source = Source::open(put("s8.png", *png));
  EXPECT_EQ(source->properties().dpiWidth, 240);
  EXPECT_EQ(source->decode(Orientation::stored)->data, opaque.data);

  Raster deep = noiseRaster(97, 45, 16);
  deep.data16()[0] = 65535, deep.data16()[1] = 1, deep.data16()[2] = 0;
  for (std::size_t i = 3; i < deep.data.size() / 2; i += 4) deep.data16()[i] = 65535;
  png = imageio::encodePng(CountingRows(deep).source(), 16, 300);
  ASSERT_TRUE(png);
  source = Source::open(put("s16.png", *png));
  EXPECT_EQ(source->properties().bitsPerComponent, 16);
  EXPECT_EQ(source->properties().dpiWidth, 300);
  EXPECT_EQ(source->decode(Orientation::stored)->data, deep.data);
}

TEST_F(ImageIoTest, StreamedRowsComeOnceFromSeveralThreads) {
  const Raster raster = noiseRaster(1200, 1000, 8);
  for (bool png : {false, true}) {
    SCOPED_TRACE(png ? "png" : "jpeg");
    CountingRows rows(raster);
    // Each strip takes a while, so strips are in flight together when vips
    // runs more than one worker.
    const auto source = rows.source(std::chrono::microseconds(500));
    EXPECT_TRUE(png ? imageio::encodePng(source, 8, 72) : imageio::encodeJpeg(source, 0.8));
    EXPECT_FALSE(rows.outside);
    EXPECT_TRUE(rows.eachRowOnce());
    if (vips_concurrency_get() > 1) {
      EXPECT_GT(rows.mostInFlight, 1);
    }
  }

  // A producer that throws fails the encoding and nothing escapes.
  std::atomic<int> calls{0};
  const imageio::RowSource failing{600, 400, 8,
                                   [&](std::int64_t top, std::int64_t, std::uint8_t*, std::size_t) {
                                     ++calls;
                                     if (top >= 200) throw std::runtime_error("render failed");
                                   }};
  EXPECT_FALSE(imageio::encodeJpeg(failing, 0.8));
  EXPECT_FALSE(imageio::encodePng(failing, 16, 72));
  EXPECT_GT(calls, 0);
  EXPECT_STREQ(vips_error_buffer(), "");
}

TEST_F(ImageIoTest, StreamedEncodingRefusesBadSizesWithoutProducing) {
  // The producer throws, so that an encoder that wrongly starts fails fast.
  std::atomic<int> calls{0};
  auto source = [&](std::int64_t width, std::int64_t height, int bits = 8) {
    return imageio::RowSource{width, height, bits,
                              [&](std::int64_t, std::int64_t, std::uint8_t*, std::size_t) {
                                ++calls;
                                throw std::runtime_error("called");
                              }};
  };
  const auto start = std::chrono::steady_clock::now();
  for (const auto& bad :
       {source(0, 10), source(10, 0), source(-4, 10), source(10'000'000, 10'000'000),
        source(10'000'001, 1), source(65'536, 65'537),
        source(std::int64_t{1} << 32, std::int64_t{1} << 32), source(10, 10, 12),
        imageio::RowSource{10, 10, 8, {}}}) {
    SCOPED_TRACE(std::to_string(bad.width) + " x " + std::to_string(bad.height));
    EXPECT_FALSE(imageio::encodeJpeg(bad, 0.8));
    EXPECT_FALSE(imageio::encodePng(bad, 8, 72));
  }
  EXPECT_FALSE(imageio::encodeJpeg(source(65'501, 1), 0.8));  // beyond libjpeg
  EXPECT_FALSE(imageio::encodePng(source(10, 10), 8, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(calls, 0);
  const imageio::RowSource wide{65'501, 1, 8,
                                [](std::int64_t, std::int64_t, std::uint8_t* to, std::size_t) {
                                  std::memset(to, 9, 65'501 * 4);
                                }};
  EXPECT_TRUE(imageio::encodePng(wide, 8, 72));  // PNG sides may be longer
}

}  // namespace

TEST_F(ImageIoTest, BackgroundDecodeGivesTheSameRowsAsDecode) {
  for (const char* name : {"n.jpg", "n6.png"}) {
    const std::string file = save(noise(300, 200, name[1] == '6' ? 6 : 0).get(), name);
    auto source = Source::open(file);
    ASSERT_TRUE(source);
    auto whole = source->decode(Orientation::applied);
    ASSERT_TRUE(whole);
    auto pending = source->decodeInBackground(Orientation::applied);
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->width(), whole->width);
    EXPECT_EQ(pending->height(), whole->height);
    // Rows can be read as soon as they are announced, before the end.
    pending->waitForRows(10);
    EXPECT_EQ(std::memcmp(pending->data(), whole->data.data(), 10 * whole->rowBytes()), 0);
    EXPECT_TRUE(pending->finish());
    EXPECT_EQ(std::memcmp(pending->data(), whole->data.data(), whole->data.size()), 0);
  }
  auto source = Source::open(save(noise(300, 200).get(), "limit.png"));
  ASSERT_TRUE(source);
  EXPECT_FALSE(source->decodeInBackground(Orientation::applied, {.maxPixels = 1000}));
}
