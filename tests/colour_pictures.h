// Pictures tagged with colour profiles, made with libvips' icc_transform
// from a real photograph, and lcms2's own conversion of their stored pixels
// to sRGB: what every program that reads pictures is checked against.
#pragma once

#include <fcntl.h>
#include <lcms2.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace colour_pictures {

struct Unref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
using ImagePtr = std::unique_ptr<VipsImage, Unref>;

// coffee.png of Debian's python3-skimage package, where setup.sh or the
// benchmarks unpacked it; empty when neither did.
inline std::string samplePhoto() {
  namespace fs = std::filesystem;
  const char* tmp = std::getenv("TMPDIR");
  for (const fs::path& root : {fs::path(ORVAN_BIN_DIR) / ".." / "sample-photos",
                              fs::path(tmp ? tmp : "/tmp") / "orvan-sample-photos"}) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
      if (it->path().filename() == "coffee.png") return it->path().string();
  }
  return {};
}

// The photograph as 8-bit sRGB, 600 × 400; without it, a stand-in of the
// same size with saturated and dark colours (hue across, lightness down).
// Both are recorded at 72 dpi, so that programs working in points see
// their pixel size.
inline ImagePtr photo() {
  constexpr double at72dpi = 72 / 25.4;
  if (const std::string path = samplePhoto(); !path.empty()) {
    ImagePtr loaded(vips_image_new_from_file(path.c_str(), nullptr));
    VipsImage* rgb = nullptr;
    if (loaded && vips_extract_band(loaded.get(), &rgb, 0, "n", 3, nullptr) == 0) {
      ImagePtr band(rgb);
      VipsImage* out = nullptr;
      if (vips_copy(band.get(), &out, "xres", at72dpi, "yres", at72dpi, nullptr) == 0) return ImagePtr(out);
    }
  }
  std::vector<std::uint8_t> samples;
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 600; ++x) {
      const double hue = x / 100.0, light = 1.0 - y / 400.0;
      for (int c = 0; c < 3; ++c) {
        const double wave = std::clamp(std::abs(std::fmod(hue + 2.0 * c, 6.0) - 3.0) - 1.0, 0.0, 1.0);
        samples.push_back(static_cast<std::uint8_t>(std::lround(255 * light * wave)));
      }
    }
  ImagePtr raw(vips_image_new_from_memory_copy(samples.data(), samples.size(), 600, 400, 3, VIPS_FORMAT_UCHAR));
  VipsImage* out = nullptr;
  vips_copy(raw.get(), &out, "interpretation", VIPS_INTERPRETATION_sRGB, "xres", at72dpi, "yres", at72dpi, nullptr);
  return ImagePtr(out);
}

// A grey profile of gamma 2.2 (D50 white), as ICC bytes.
inline std::vector<std::uint8_t> greyGamma22Profile() {
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
  cmsFreeToneCurve(gamma);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<std::uint8_t> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

inline std::vector<std::uint8_t> fileBytes(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return {};
  std::vector<std::uint8_t> bytes(contents, contents + length);
  g_free(contents);
  return bytes;
}

struct TaggedPicture {
  std::string name;  // what it is, for messages
  std::string path;  // the tagged file
  std::string twin;  // lcms2's sRGB conversion of its pixels, untagged PNG of the same depth
  int width = 0, height = 0, bits = 8;
  std::vector<std::uint16_t> reference;  // that conversion, RGB on 0..65535
};

inline TaggedPicture named(std::string name, std::string path) {
  TaggedPicture picture;
  picture.name = std::move(name);
  picture.path = std::move(path);
  return picture;
}

// lcms2's conversion of the file's stored pixels (read by vips without any
// colour handling) from its embedded profile to sRGB: relative
// colorimetric with black-point compensation, unoptimised unless asked.
inline bool convertWithLcms(TaggedPicture& picture, bool optimised = false) {
  ImagePtr stored(vips_image_new_from_file(picture.path.c_str(), "access", VIPS_ACCESS_RANDOM, nullptr));
  if (!stored) return false;
  const void* icc = nullptr;
  std::size_t iccSize = 0;
  if (vips_image_get_blob(stored.get(), VIPS_META_ICC_NAME, &icc, &iccSize) != 0) return false;
  // A copy: reading the pixels replaces the header's fields.
  const std::vector<std::uint8_t> profile(static_cast<const std::uint8_t*>(icc),
                                          static_cast<const std::uint8_t*>(icc) + iccSize);
  const bool grey = stored->Bands == 1;
  const bool cmyk = stored->Type == VIPS_INTERPRETATION_CMYK && stored->Bands == 4;
  const bool sixteen = stored->BandFmt == VIPS_FORMAT_USHORT;
  std::size_t size = 0;
  void* memory = vips_image_write_to_memory(stored.get(), &size);
  const std::size_t pixels = std::size_t(stored->Xsize) * stored->Ysize;
  std::vector<std::uint16_t> in(pixels * stored->Bands);
  for (std::size_t i = 0; i < in.size(); ++i)
    in[i] = sixteen ? static_cast<std::uint16_t*>(memory)[i] : std::uint16_t(static_cast<std::uint8_t*>(memory)[i] * 257);
  g_free(memory);
  cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM transform =
      cmsCreateTransform(source, grey ? TYPE_GRAY_16 : cmyk ? TYPE_CMYK_16 : TYPE_RGB_16, srgb, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC,
                         cmsFLAGS_BLACKPOINTCOMPENSATION | (optimised ? 0 : cmsFLAGS_NOOPTIMIZE));
  picture.reference.assign(pixels * 3, 0);
  if (transform) cmsDoTransform(transform, in.data(), picture.reference.data(), static_cast<cmsUInt32Number>(pixels));
  if (transform) cmsDeleteTransform(transform);
  cmsCloseProfile(srgb);
  if (source) cmsCloseProfile(source);
  picture.width = stored->Xsize;
  picture.height = stored->Ysize;
  picture.bits = sixteen ? 16 : 8;
  return transform != nullptr;
}

// The reference as an untagged PNG beside the picture.
inline bool saveTwin(TaggedPicture& picture) {
  const bool sixteen = picture.bits == 16;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint16_t> words;
  for (const std::uint16_t v : picture.reference) {
    if (sixteen)
      words.push_back(v);
    else
      bytes.push_back(static_cast<std::uint8_t>((v * 2u + 257u) / 514u));
  }
  ImagePtr raw(sixteen ? vips_image_new_from_memory_copy(words.data(), words.size() * 2, picture.width,
                                                         picture.height, 3, VIPS_FORMAT_USHORT)
                       : vips_image_new_from_memory_copy(bytes.data(), bytes.size(), picture.width,
                                                         picture.height, 3, VIPS_FORMAT_UCHAR));
  VipsImage* tagged = nullptr;
  if (!raw || vips_copy(raw.get(), &tagged, "interpretation",
                        sixteen ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB, "xres", 72 / 25.4,
                        "yres", 72 / 25.4, nullptr) != 0)
    return false;
  ImagePtr image(tagged);
  picture.twin = picture.path + ".twin.png";
  return vips_pngsave(image.get(), picture.twin.c_str(), nullptr) == 0;
}

// libvips' icc_transform of the photograph (taken as sRGB) into `profile`
// (a file or one of libvips' own names), saved as `name` in `dir`.
inline std::string transformed(const std::string& dir, const std::string& name, const char* profile, int depth) {
  ImagePtr source = photo();
  VipsImage* out = nullptr;
  if (vips_icc_transform(source.get(), &out, profile, "input_profile", "srgb", "intent",
                         VIPS_INTENT_RELATIVE, "depth", depth, nullptr) != 0)
    return {};
  ImagePtr image(out);
  const std::string path = dir + "/" + name;
  return vips_image_write_to_file(image.get(), path.c_str(), nullptr) == 0 ? path : std::string();
}

// The photograph in grey, tagged with a gamma-2.2 profile, as a PNG.
inline std::string greyGamma22(const std::string& dir) {
  ImagePtr source = photo();
  VipsImage* grey = nullptr;
  if (vips_colourspace(source.get(), &grey, VIPS_INTERPRETATION_B_W, nullptr) != 0) return {};
  ImagePtr image(grey);
  const std::vector<std::uint8_t> icc = greyGamma22Profile();
  vips_image_set_blob_copy(image.get(), VIPS_META_ICC_NAME, icc.data(), icc.size());
  const std::string path = dir + "/grey-gamma22.png";
  return vips_pngsave(image.get(), path.c_str(), nullptr) == 0 ? path : std::string();
}

// Display P3 JPEG, Adobe RGB (1998) PNG, ProPhoto RGB 16-bit TIFF and grey
// gamma 2.2 PNG, each with its reference and twin. Empty when one of them
// cannot be made.
inline std::vector<TaggedPicture> makeTaggedPictures(const std::string& dir) {
  const std::string adobe = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
  const std::string proPhoto = "/usr/share/color/icc/colord/ProPhotoRGB.icc";
  std::vector<TaggedPicture> pictures;
  pictures.push_back(named("Display P3 JPEG", transformed(dir, "p3.jpg[Q=95]", "p3", 8)));
  pictures.push_back(named("Adobe RGB PNG", transformed(dir, "adobe.png", adobe.c_str(), 8)));
  pictures.push_back(named("ProPhoto 16-bit TIFF", transformed(dir, "prophoto.tif", proPhoto.c_str(), 16)));
  pictures.push_back(named("grey gamma 2.2 PNG", greyGamma22(dir)));
  for (TaggedPicture& picture : pictures) {
    if (picture.path.empty()) return {};
    if (const auto bracket = picture.path.find('['); bracket != std::string::npos) picture.path.resize(bracket);
    if (!convertWithLcms(picture) || !saveTwin(picture)) return {};
  }
  return pictures;
}

// How far pixels of an RGB(A) raster are from the reference, in 8-bit
// levels: the largest difference.
inline double largestDifference(const TaggedPicture& picture, const std::uint8_t* data, int bits, int bands,
                                std::size_t rowBytes, int left = 0, int top = 0, int width = -1, int height = -1) {
  if (width < 0) width = picture.width;
  if (height < 0) height = picture.height;
  double worst = 0;
  for (int y = top; y < top + height; ++y)
    for (int x = left; x < left + width; ++x)
      for (int c = 0; c < 3; ++c) {
        const std::uint8_t* row = data + std::size_t(y) * rowBytes;
        const double value = bits == 16 ? reinterpret_cast<const std::uint16_t*>(row)[std::size_t(x) * bands + c] / 257.0
                                         : row[std::size_t(x) * bands + c];
        const double expected = picture.reference[(std::size_t(y) * picture.width + x) * 3 + c] / 257.0;
        worst = std::max(worst, std::abs(value - expected));
      }
  return worst;
}

// A picture file's pixels as vips reads them, without colour handling.
struct Pixels {
  int width = 0, height = 0, bands = 0, bits = 8;
  std::vector<std::uint8_t> data;
  std::size_t rowBytes() const { return std::size_t(width) * bands * (bits / 8); }
};

inline Pixels storedPixels(const std::string& path) {
  Pixels pixels;
  ImagePtr image(vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image) return pixels;
  pixels.width = image->Xsize;
  pixels.height = image->Ysize;
  pixels.bands = image->Bands;
  pixels.bits = image->BandFmt == VIPS_FORMAT_USHORT ? 16 : 8;
  std::size_t size = 0;
  void* memory = vips_image_write_to_memory(image.get(), &size);
  if (memory) pixels.data.assign(static_cast<std::uint8_t*>(memory), static_cast<std::uint8_t*>(memory) + size);
  g_free(memory);
  return pixels;
}

// The largest difference between two files' pixels in 8-bit levels, over
// the rectangle given (the whole picture by default); a large number when
// their sizes differ.
inline double largestDifference(const Pixels& a, const Pixels& b, int left = 0, int top = 0, int width = -1,
                                int height = -1) {
  if (a.width != b.width || a.height != b.height || a.bands < 3 || b.bands < 3 || a.data.empty() || b.data.empty())
    return 1e9;
  if (width < 0) width = a.width;
  if (height < 0) height = a.height;
  auto level = [](const Pixels& p, int x, int y, int c) {
    const std::uint8_t* row = p.data.data() + std::size_t(y) * p.rowBytes();
    return p.bits == 16 ? reinterpret_cast<const std::uint16_t*>(row)[std::size_t(x) * p.bands + c] / 257.0
                        : double(row[std::size_t(x) * p.bands + c]);
  };
  double worst = 0;
  for (int y = top; y < top + height; ++y)
    for (int x = left; x < left + width; ++x)
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(level(a, x, y, c) - level(b, x, y, c)));
  return worst;
}

// For JPEG outputs, whose compression moves single pixels by several
// levels when their input moves by one: the largest difference between
// the mean colours of aligned 16 × 16 blocks (the size of a JPEG
// macroblock with halved chroma), in 8-bit levels, over the
// rectangle given (whole blocks only).
inline double largestBlockDifference(const Pixels& a, const Pixels& b, int left = 0, int top = 0, int width = -1,
                                     int height = -1) {
  if (a.width != b.width || a.height != b.height || a.bands < 3 || b.bands < 3 || a.data.empty() || b.data.empty())
    return 1e9;
  if (width < 0) width = a.width;
  if (height < 0) height = a.height;
  auto level = [](const Pixels& p, int x, int y, int c) {
    const std::uint8_t* row = p.data.data() + std::size_t(y) * p.rowBytes();
    return p.bits == 16 ? reinterpret_cast<const std::uint16_t*>(row)[std::size_t(x) * p.bands + c] / 257.0
                        : double(row[std::size_t(x) * p.bands + c]);
  };
  double worst = 0;
  for (int by = (top + 15) / 16 * 16; by + 16 <= top + height; by += 16)
    for (int bx = (left + 15) / 16 * 16; bx + 16 <= left + width; bx += 16)
      for (int c = 0; c < 3; ++c) {
        double sum = 0;
        for (int y = by; y < by + 16; ++y)
          for (int x = bx; x < bx + 16; ++x) sum += level(a, x, y, c) - level(b, x, y, c);
        worst = std::max(worst, std::abs(sum / 256));
      }
  return worst;
}

// A fresh directory under /tmp, removed with everything in it.
struct ScratchDirectory {
  ScratchDirectory() {
    char pattern[] = "/tmp/colour_pictures.XXXXXX";
    if (::mkdtemp(pattern)) path = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  std::string path;
};

// Runs one of our programs (by name, from the build's bin directory) with
// `input` on standard input; its exit status, -1 when it did not exit.
inline int runProgram(const std::string& scratch, const std::string& program, std::vector<std::string> args,
                      const std::string& input = "") {
  const std::string inputPath = scratch + "/.stdin";
  std::ofstream(inputPath, std::ios::binary) << input;
  args.insert(args.begin(), std::string(ORVAN_BIN_DIR) + "/" + program);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(inputPath.c_str(), O_RDONLY);
    const int out = ::open((scratch + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((scratch + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace colour_pictures
