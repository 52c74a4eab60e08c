// Colour management: tagged pictures decode to lcms2's own sRGB conversion
// of their pixels; untagged, sRGB-tagged and damaged-profile pictures decode
// to their stored pixels; the encoders tag what they write as sRGB.
#include "colour.h"
#include "imageio.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "colour_pictures.h"

namespace {

namespace fs = std::filesystem;
using colour_pictures::ImagePtr;
using colour_pictures::TaggedPicture;
using imageio::Orientation;
using imageio::Raster;
using Bytes = std::vector<std::uint8_t>;

class ColourTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(imageio::initialize());
    char pattern[] = "/tmp/imageio_colour_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    pictures_ = colour_pictures::makeTaggedPictures(dir_);
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static std::string put(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return dir_ + "/" + name;
  }

  // The photograph as an 8-bit RGB PNG carrying `profile` (none when empty).
  static std::string tagged(const std::string& name, const Bytes& profile) {
    ImagePtr image = colour_pictures::photo();
    if (!profile.empty()) vips_image_set_blob_copy(image.get(), VIPS_META_ICC_NAME, profile.data(), profile.size());
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(image.get(), path.c_str(), nullptr), 0);
    return path;
  }

  static double fromReference(const TaggedPicture& picture, const Raster& raster) {
    return colour_pictures::largestDifference(picture, raster.data.data(), raster.bitsPerComponent, 4,
                                              raster.rowBytes());
  }

  static inline std::string dir_;
  static inline std::vector<TaggedPicture> pictures_;
};

TEST_F(ColourTest, TaggedPicturesComeOutAsLcmsConvertsThem) {
  ASSERT_EQ(pictures_.size(), 4u);
  for (const TaggedPicture& picture : pictures_) {
    SCOPED_TRACE(picture.name);
    auto source = imageio::Source::open(picture.path);
    ASSERT_TRUE(source);
    auto decoded = source->decode(Orientation::applied);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->bitsPerComponent, picture.bits);
    EXPECT_LE(fromReference(picture, *decoded), 2.0);

    // The other ways in: a thumbnail of the full size, a resize to it, and
    // the background decode (in two parts for a JPEG).
    auto thumbnail = source->thumbnail(1000, Orientation::applied);
    ASSERT_TRUE(thumbnail);
    EXPECT_LE(fromReference(picture, *thumbnail), 2.0);
    auto resized = source->resized(picture.width, picture.height, Orientation::applied);
    ASSERT_TRUE(resized);
    EXPECT_LE(fromReference(picture, *resized), 2.0);
    auto pending = source->decodeInBackground(Orientation::applied, {}, true);
    ASSERT_TRUE(pending && pending->finish());
    Raster background{pending->width(), pending->height(), pending->bitsPerComponent(),
                      Bytes(pending->data(), pending->data() + pending->rowBytes() * pending->height())};
    EXPECT_LE(fromReference(picture, background), 2.0);

    // Without conversion the colours are far off: the test sees the difference.
    const auto stored = colour_pictures::storedPixels(picture.path);
    ASSERT_FALSE(stored.data.empty());
    if (stored.bands >= 3) {
      EXPECT_GT(colour_pictures::largestDifference(picture, stored.data.data(), stored.bits, stored.bands,
                                                   stored.rowBytes()),
                5.0);
    }
  }
}

TEST_F(ColourTest, ReducedThumbnailsKeepTheConvertedColours) {
  ASSERT_FALSE(pictures_.empty());
  // Both PNGs, so that both are reduced the same way (a JPEG would be
  // shrunk on load).
  const TaggedPicture& adobe = pictures_[1];
  auto source = imageio::Source::open(adobe.path), twin = imageio::Source::open(adobe.twin);
  ASSERT_TRUE(source && twin);
  auto small = source->thumbnail(150, Orientation::applied), expected = twin->thumbnail(150, Orientation::applied);
  ASSERT_TRUE(small && expected);
  ASSERT_EQ(small->data.size(), expected->data.size());
  int worst = 0;
  for (std::size_t i = 0; i < small->data.size(); ++i)
    worst = std::max(worst, std::abs(int(small->data[i]) - int(expected->data[i])));
  EXPECT_LE(worst, 2);
}

TEST_F(ColourTest, UntaggedSrgbAndUnusableProfilesKeepTheStoredPixels) {
  VipsBlob* builtIn = nullptr;
  ASSERT_EQ(vips_profile_load("srgb", &builtIn, nullptr), 0);
  std::size_t builtInSize = 0;
  const auto* builtInData = static_cast<const std::uint8_t*>(vips_blob_get(builtIn, &builtInSize));
  const Bytes vipsSrgb(builtInData, builtInData + builtInSize);
  vips_area_unref(VIPS_AREA(builtIn));
  VipsBlob* cmykBlob = nullptr;
  ASSERT_EQ(vips_profile_load("cmyk", &cmykBlob, nullptr), 0);
  std::size_t cmykSize = 0;
  const auto* cmykData = static_cast<const std::uint8_t*>(vips_blob_get(cmykBlob, &cmykSize));
  const Bytes cmyk(cmykData, cmykData + cmykSize);
  vips_area_unref(VIPS_AREA(cmykBlob));
  const Bytes p3 = colour_pictures::fileBytes(pictures_.empty() ? "" : pictures_[0].path);

  Bytes truncated(vipsSrgb.begin(), vipsSrgb.begin() + 200);
  Bytes scrambled = colour_pictures::greyGamma22Profile();
  for (std::size_t i = 132; i < scrambled.size(); i += 7) scrambled[i] ^= 0x5A;  // tag table and data
  Bytes garbage(600, 0x42);
  struct Case {
    const char* name;
    Bytes profile;
  };
  const std::vector<Case> cases = {
      {"untagged", {}},
      {"libvips sRGB", vipsSrgb},
      {"colord sRGB", colour_pictures::fileBytes("/usr/share/color/icc/colord/sRGB.icc")},
      {"our own sRGB", imageio::srgbProfile()},
      {"truncated", truncated},
      {"scrambled", scrambled},
      {"garbage", garbage},
      {"grey profile on RGB", colour_pictures::greyGamma22Profile()},
      {"CMYK profile on RGB", cmyk},
  };
  const std::string plain = tagged("plain.png", {});
  const auto expected = imageio::Source::open(plain)->decode(Orientation::stored);
  ASSERT_TRUE(expected);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tagged(std::string("tagged-") + std::to_string(&c - cases.data()) + ".png", c.profile);
    auto source = imageio::Source::open(path);
    ASSERT_TRUE(source);
    auto decoded = source->decode(Orientation::stored);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->data, expected->data);
  }

  // A CMYK picture with a damaged profile gets the generic CMYK conversion.
  std::vector<std::uint8_t> ink(32 * 16 * 4, 0);
  for (std::size_t i = 3; i < ink.size() / 2; i += 4) ink[i] = 255;
  ImagePtr raw(vips_image_new_from_memory_copy(ink.data(), ink.size(), 32, 16, 4, VIPS_FORMAT_UCHAR));
  VipsImage* out = nullptr;
  ASSERT_EQ(vips_copy(raw.get(), &out, "interpretation", VIPS_INTERPRETATION_CMYK, nullptr), 0);
  ImagePtr cmykImage(out);
  vips_image_set_blob_copy(cmykImage.get(), VIPS_META_ICC_NAME, garbage.data(), garbage.size());
  ASSERT_EQ(vips_image_write_to_file(cmykImage.get(), (dir_ + "/damaged-cmyk.jpg").c_str(), nullptr), 0);
  auto decoded = imageio::Source::open(dir_ + "/damaged-cmyk.jpg")->decode(Orientation::stored);
  ASSERT_TRUE(decoded);
  EXPECT_LT(decoded->data[(4 * 32 + 16) * 4], 80);    // black ink
  EXPECT_GT(decoded->data[(12 * 32 + 16) * 4], 230);  // none
}

// lcms2 runs CMYK through its optimised (precalculated) transform, as every
// program built on it does; that departs from the unoptimised arithmetic by
// up to 17 levels on extreme ink mixtures, and is the reference here.
TEST_F(ColourTest, CmykWithItsProfileComesOutAsLcmsConvertsIt) {
  TaggedPicture cmyk = colour_pictures::named("CMYK JPEG", colour_pictures::transformed(dir_, "cmyk.jpg[Q=98]", "cmyk", 8));
  ASSERT_FALSE(cmyk.path.empty());
  cmyk.path.resize(cmyk.path.find('['));
  ASSERT_TRUE(colour_pictures::convertWithLcms(cmyk, true));
  auto decoded = imageio::Source::open(cmyk.path)->decode(Orientation::stored);
  ASSERT_TRUE(decoded);
  EXPECT_LE(fromReference(cmyk, *decoded), 2.0);
}

TEST_F(ColourTest, EncodersTagTheirOutputAsSrgb) {
  const Bytes& profile = imageio::srgbProfile();
  ASSERT_GT(profile.size(), 128u);
  EXPECT_LT(profile.size(), 700u);
  EXPECT_EQ(profile, imageio::srgbProfile());
  cmsHPROFILE opened = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  ASSERT_TRUE(opened);
  char description[64] = {};
  cmsGetProfileInfoASCII(opened, cmsInfoDescription, "en", "US", description, sizeof description);
  EXPECT_STREQ(description, "sRGB IEC61966-2.1");
  EXPECT_EQ(cmsGetColorSpace(opened), cmsSigRgbData);
  cmsCloseProfile(opened);

  for (const int bits : {8, 16}) {
    SCOPED_TRACE(bits);
    Raster raster{40, 20, bits, Bytes(40 * 20 * (bits / 2))};
    for (std::size_t i = 0; i < raster.data.size(); ++i) raster.data[i] = std::uint8_t(i * 7);
    const auto jpeg = imageio::encodeJpeg(raster, 0.9);
    ASSERT_TRUE(jpeg);
    ImagePtr loaded(vips_image_new_from_buffer(jpeg->data(), jpeg->size(), "", nullptr));
    ASSERT_TRUE(loaded);
    const void* icc = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(vips_image_get_blob(loaded.get(), VIPS_META_ICC_NAME, &icc, &size), 0);
    EXPECT_EQ(Bytes(static_cast<const std::uint8_t*>(icc), static_cast<const std::uint8_t*>(icc) + size), profile);

    const auto png = imageio::encodePng(raster, bits, 300);
    ASSERT_TRUE(png);
    const std::string text(png->begin(), png->end());
    const auto srgb = text.find("sRGB"), data = text.find("IDAT");
    ASSERT_NE(srgb, std::string::npos);
    EXPECT_LT(srgb, data);
    EXPECT_EQ(text[srgb + 4], '\0');  // perceptual
    EXPECT_LT(text.find("gAMA"), data);
    EXPECT_LT(text.find("cHRM"), data);
    EXPECT_EQ(text.find("iCCP"), std::string::npos);
    // A reader that checks every chunk's CRC takes it, at its depth.
    ImagePtr back(vips_image_new_from_buffer(png->data(), png->size(), "", "fail_on", VIPS_FAIL_ON_WARNING, nullptr));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->BandFmt, bits == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
    void* pixels = vips_image_write_to_memory(back.get(), &size);
    EXPECT_TRUE(pixels);
    g_free(pixels);
  }
}

}  // namespace
