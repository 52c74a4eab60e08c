// The sightgauge program as the host application runs it: arguments in,
// one line on standard output or one message on standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <vips/vips.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base64_decode.h"
#include "json.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string shellQuoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class SightgaugeRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("sightgauge_test"), 0);
    vips_cache_set_max(0);
  }
  void SetUp() override {
    char pattern[] = "/tmp/sightgauge_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the program in the test's directory; `prefix` goes before it (ulimit).
  Outcome run(const std::vector<std::string>& args, const std::string& prefix = "") {
    std::string command = "cd " + shellQuoted(dir_) + " && " + prefix + shellQuoted(std::string(ORVAN_BIN_DIR) + "/sightgauge");
    for (const auto& arg : args) command += " " + shellQuoted(arg);
    command += " >" + shellQuoted(dir_ + "/stdout") + " 2>" + shellQuoted(dir_ + "/stderr");
    Outcome result;
    const int status = std::system(("bash -c " + shellQuoted(command)).c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(dir_ + "/stdout");
    result.err = slurp(dir_ + "/stderr");
    return result;
  }

  // Saves a vips image (unreferenced here) under `name` with saver options
  // after it ("x.jpg[Q=95]"), with an EXIF orientation when given.
  std::string save(VipsImage* image, const std::string& name, int orientation = 0) {
    VipsImage* tagged = nullptr;
    EXPECT_EQ(vips_copy(image, &tagged, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr), 0);
    g_object_unref(image);
    if (orientation) vips_image_set_int(tagged, VIPS_META_ORIENTATION, orientation);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(tagged, path.c_str(), nullptr), 0) << vips_error_buffer();
    g_object_unref(tagged);
    return path.substr(0, path.find('['));
  }

  // An RGB picture painted by a function of (row, column).
  std::string paint(const std::string& name, int width, int height,
                    const std::function<std::array<std::uint8_t, 3>(int, int)>& colourAt, int orientation = 0) {
    std::vector<std::uint8_t> samples;
    samples.reserve(std::size_t(width) * height * 3);
    for (int row = 0; row < height; ++row)
      for (int column = 0; column < width; ++column) {
        const auto c = colourAt(row, column);
        samples.insert(samples.end(), c.begin(), c.end());
      }
    VipsImage* raw =
        vips_image_new_from_memory_copy(samples.data(), samples.size(), width, height, 3, VIPS_FORMAT_UCHAR);
    return save(raw, name, orientation);
  }

  // A file of the given bytes.
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // A real photograph from Debian's python3-skimage package.
  static std::string photo(const std::string& name) {
    const std::string command = shellQuoted(std::string(ORVAN_SOURCE_DIR) + "/bench/sample-photo.sh") + " " +
                                shellQuoted(name) + " " + shellQuoted(std::string(ORVAN_BUILD_DIR) + "/sample-photos");
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string path;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) path += buffer;
    if (pipe) ::pclose(pipe);
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
  }

  // The photo cut, turned and mirrored with vips and saved as PNG.
  std::string cut(const std::string& source, const std::string& name, double x, double y, double w, double h,
                  VipsAngle angle = VIPS_ANGLE_D0, bool mirror = false) {
    VipsImage* in = vips_image_new_from_file(source.c_str(), nullptr);
    EXPECT_NE(in, nullptr);
    VipsImage* part = nullptr;
    EXPECT_EQ(vips_crop(in, &part, int(x * in->Xsize), int(y * in->Ysize), int(w * in->Xsize), int(h * in->Ysize),
                        nullptr),
              0);
    g_object_unref(in);
    if (mirror) {
      VipsImage* flipped = nullptr;
      EXPECT_EQ(vips_flip(part, &flipped, VIPS_DIRECTION_HORIZONTAL, nullptr), 0);
      g_object_unref(part);
      part = flipped;
    }
    VipsImage* turned = nullptr;
    EXPECT_EQ(vips_rot(part, &turned, angle, nullptr), 0);
    g_object_unref(part);
    return save(turned, name);
  }

  std::string dir_;
};

const std::string usage = "Usage: sightgauge [--matrix30|--faces-only] <image-path>\n";
const std::string cropUsage = "Usage: sightgauge --crop-verify <big> <crop> <x> <y> <w> <h>\n";
const std::string invalidWindow = "Invalid crop window or orientation\n";

TEST_F(SightgaugeRun, CommandLinesThatFitNoMode) {
  const std::vector<std::vector<std::string>> lines = {
      {}, {"a.jpg", "b.jpg"}, {"--faces", "a.jpg"}, {"--matrix30", "a.jpg", "b.jpg"}, {"a", "b", "c"},
      {"--FACES-ONLY", "a.jpg"}, {"--matrix30=a.jpg", "x"},
  };
  for (const auto& args : lines) {
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 1) << ::testing::PrintToString(args);
    EXPECT_EQ(outcome.err, usage);
    EXPECT_EQ(outcome.out, "");
  }
}

// A PNG declaring 100 000 × 100 000 pixels, with a little compressed data.
std::string bombPng() {
  auto chunk = [](const std::string& type, const std::string& data) {
    std::string out;
    const std::uint32_t length = static_cast<std::uint32_t>(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((length >> shift) & 0xff);
    const std::string body = type + data;
    out += body;
    const std::uint32_t crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((crc >> shift) & 0xff);
    return out;
  };
  auto be32 = [](std::uint32_t v) {
    return std::string{char(v >> 24), char((v >> 16) & 0xff), char((v >> 8) & 0xff), char(v & 0xff)};
  };
  const std::string header = be32(100000) + be32(100000) + std::string{8, 2, 0, 0, 0};
  std::string zeros(1 << 20, '\0');
  std::string packed(compressBound(zeros.size()), '\0');
  uLongf packedSize = packed.size();
  ::compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(zeros.data()),
              zeros.size(), 9);
  packed.resize(packedSize);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", packed) + chunk("IEND", "");
}

TEST_F(SightgaugeRun, UnreadableInputsFailWithTheDecodeMessage) {
  const std::string good = paint("good.jpg[Q=90]", 64, 48, [](int r, int c) {
    return std::array<std::uint8_t, 3>{std::uint8_t(r * 4), std::uint8_t(c * 3), 90};
  });
  const std::string bytes = slurp(good);
  file("truncated.jpg", bytes.substr(0, bytes.size() / 2));
  file("empty.png", "");
  file("notes.jpg", "These are not the pixels you are looking for.\n");
  file("bomb.png", bombPng());
  fs::create_directory(dir_ + "/folder.jpg");
  // Relative names: the message shows them resolved against the current directory.
  for (const std::string name : {"missing.jpg", "truncated.jpg", "empty.png", "notes.jpg", "bomb.png", "folder.jpg",
                                 "--matrix30", "./missing.jpg"}) {
    const std::string expected = "Cannot decode image: " + dir_ + "/" + name + "\n";
    for (const auto& mode : std::vector<std::vector<std::string>>{{}, {"--faces-only"}, {"--matrix30"}}) {
      if (name == "--matrix30" && !mode.empty()) continue;
      std::vector<std::string> args = mode;
      args.push_back(name);
      // The bomb is refused from its header: a small address space is enough
      // (not checked under AddressSanitizer, which reserves terabytes).
      const Outcome outcome = run(args, name == "bomb.png" && !sanitized ? "ulimit -v 4000000; " : "");
      EXPECT_EQ(outcome.status, 1) << ::testing::PrintToString(args);
      EXPECT_EQ(outcome.err, expected) << ::testing::PrintToString(args);
      EXPECT_EQ(outcome.out, "");
    }
  }
}

TEST_F(SightgaugeRun, Matrix30StretchesTheStoredPictureAndAddsAnUprightSignature) {
  // 320 × 40, white on the left half and black on the right, stored turned
  // (orientation 6: shown a quarter turn clockwise, 40 wide and 320 high).
  const std::string stretched = paint(
      "wide.png", 320, 40,
      [](int, int c) { return c < 160 ? std::array<std::uint8_t, 3>{255, 255, 255} : std::array<std::uint8_t, 3>{}; });
  const std::string turned = paint(
      "turned.jpg[Q=100]", 320, 40,
      [](int, int c) { return c < 160 ? std::array<std::uint8_t, 3>{255, 255, 255} : std::array<std::uint8_t, 3>{}; },
      6);
  struct Case {
    std::string path;
    int width, height;
  };
  for (const Case& c : {Case{stretched, 64, 8}, Case{turned, 8, 64}}) {
    const Outcome outcome = run({"--matrix30", c.path});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_EQ(outcome.out.back(), '\n');
    const auto answer = json::parse(outcome.out.substr(0, outcome.out.size() - 1));
    ASSERT_TRUE(answer) << outcome.out;
    const auto matrix = unbase64((*answer)["duplicateMatrix30"].get<std::string>());
    ASSERT_EQ(matrix.size(), 900u);
    // The stored raster, stretched: every one of the 30 rows is white on the
    // left and black on the right.
    for (int row = 0; row < 30; ++row) {
      EXPECT_GE(matrix[row * 30 + 2], 250) << row;
      EXPECT_GE(matrix[row * 30 + 12], 250) << row;
      EXPECT_LE(matrix[row * 30 + 17], 5) << row;
      EXPECT_LE(matrix[row * 30 + 27], 5) << row;
    }
    // The signature is upright: 64 × 8 for the wide picture, 8 × 64 turned.
    const auto& signature = (*answer)["cropSignature"];
    EXPECT_EQ(signature["width"], c.width);
    EXPECT_EQ(signature["height"], c.height);
    const auto rgb = unbase64(signature["rgb"].get<std::string>());
    ASSERT_EQ(rgb.size(), std::size_t(c.width) * c.height * 3);
    // Top-left is white either way; turned, the bottom-left is black.
    EXPECT_GE(rgb[0], 250);
    EXPECT_LE(rgb[(std::size_t(c.height - 1) * c.width) * 3], c.width == 8 ? 5 : 255);
  }
}

TEST_F(SightgaugeRun, CropVerifyArgumentsAndWindow) {
  const std::string big = photo("coffee.png");
  ASSERT_FALSE(big.empty()) << "python3-skimage's coffee.png could not be fetched";
  struct Case {
    std::vector<std::string> values;
    std::string err;
  };
  const Case cases[] = {
      {{big, big, "0", "0", "1"}, cropUsage},                     // flag + five values
      {{big, big, "0", "0", "1", "1", "0"}, cropUsage},           // flag + seven values
      {{big, big, "0", "0", "1", "one"}, cropUsage},              // a number that does not read
      {{big, big, "0", "0", "1", "1 "}, cropUsage},
      {{big, dir_ + "/missing.png", "0", "0", "1", "1"}, cropUsage},  // no thumbnail
      {{big, big, "0.5", "0", "0.502", "1"}, invalidWindow},
      {{big, big, "0", "0", "0", "1"}, invalidWindow},
      {{big, big, "0", "0", "nan", "1"}, invalidWindow},
      {{big, big, "0", "0", "1", "1", "45", "0"}, invalidWindow},
      {{big, big, "0", "0", "1", "1", "ninety", "0"}, invalidWindow},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--crop-verify"};
    args.insert(args.end(), c.values.begin(), c.values.end());
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 1) << ::testing::PrintToString(c.values);
    EXPECT_EQ(outcome.err, c.err) << ::testing::PrintToString(c.values);
    EXPECT_EQ(outcome.out, "");
  }
  // Just inside the slack: 0.5 + 0.501 = 1.001.
  const Outcome edge = run({"--crop-verify", big, big, "0.5", "0", "0.501", "1"});
  EXPECT_EQ(edge.status, 0) << edge.err;
}

struct Scores {
  double ncc = 0, strict = 0, loose = 0, worst = 0;
};

Scores scoresOf(const std::string& line) {
  static const std::regex shape(
      R"(\{"ncc":(-?[0-9.e+-]+),"blockAgreement":([0-9.e+-]+),"blockAgreementLoose":([0-9.e+-]+),"worstBlock":(-?[0-9.e+-]+)\}\n)");
  std::smatch match;
  EXPECT_TRUE(std::regex_match(line, match, shape)) << line;
  if (match.empty()) return {};
  return {std::stod(match[1]), std::stod(match[2]), std::stod(match[3]), std::stod(match[4])};
}

TEST_F(SightgaugeRun, CropVerifyProvesTrueCropsTurnedOrMirroredAndRejectsOthers) {
  const std::string big = photo("coffee.png");
  ASSERT_FALSE(big.empty());
  const std::string crop = cut(big, "crop.png", 0.2, 0.25, 0.5, 0.5);
  const std::string counterClockwise = cut(big, "ccw.png", 0.2, 0.25, 0.5, 0.5, VIPS_ANGLE_D270);
  const std::string clockwise = cut(big, "cw.png", 0.2, 0.25, 0.5, 0.5, VIPS_ANGLE_D90);
  const std::string mirrored = cut(big, "mirror.png", 0.2, 0.25, 0.5, 0.5, VIPS_ANGLE_D0, true);
  const std::string elsewhere = cut(big, "elsewhere.png", 0.5, 0.0, 0.5, 0.5);
  struct Case {
    const char* name;
    std::string crop;
    std::vector<std::string> orientation;
    bool matches;
  };
  const Case cases[] = {
      {"true crop", crop, {}, true},
      {"true crop, explicit", crop, {"0", "0"}, true},
      {"turned counter-clockwise", counterClockwise, {"90", "0"}, true},
      {"turned clockwise", clockwise, {"270", "0"}, true},
      {"mirrored", mirrored, {"0", "1"}, true},
      {"mirrored without saying so", mirrored, {"0", "0"}, false},
      {"turned the wrong way", counterClockwise, {"270", "0"}, false},
      {"another window", elsewhere, {}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--crop-verify", big, c.crop, "0.2", "0.25", "0.5", "0.5"};
    args.insert(args.end(), c.orientation.begin(), c.orientation.end());
    const Outcome outcome = run(args);
    ASSERT_EQ(outcome.status, 0) << c.name << ": " << outcome.err;
    const Scores scores = scoresOf(outcome.out);
    if (c.matches) {
      EXPECT_GT(scores.ncc, 0.95) << c.name << ": " << outcome.out;
      EXPECT_GE(scores.strict, 0.85) << c.name << ": " << outcome.out;
      EXPECT_GE(scores.loose, 0.95) << c.name << ": " << outcome.out;
    } else {
      EXPECT_LT(scores.ncc, 0.6) << c.name << ": " << outcome.out;
      EXPECT_LT(scores.strict, 0.5) << c.name << ": " << outcome.out;
    }
  }
}

TEST_F(SightgaugeRun, CropVerifyOfAFlatCropIsTheZeroLine) {
  const std::string big = photo("coffee.png");
  ASSERT_FALSE(big.empty());
  const std::string flat = paint("flat.png", 100, 100, [](int, int) { return std::array<std::uint8_t, 3>{90, 60, 30}; });
  const Outcome outcome = run({"--crop-verify", big, flat, "0.1", "0.1", "0.3", "0.3"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "{\"ncc\":0,\"blockAgreement\":0,\"worstBlock\":0}\n");
  EXPECT_EQ(outcome.err, "");
}


// The answer line parsed, or a failed expectation.
json::Value answerOf(const Outcome& outcome) {
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  if (outcome.out.empty() || outcome.out.back() != '\n') {
    ADD_FAILURE() << "no line: " << outcome.out;
    return json::Value::object();
  }
  const auto answer = json::parse(outcome.out.substr(0, outcome.out.size() - 1));
  EXPECT_TRUE(answer && answer->is_object()) << outcome.out;
  return answer ? *answer : json::Value::object();
}

TEST_F(SightgaugeRun, DefaultReportOnRealPhotos) {
  struct Case {
    const char* name;
    int faces;
  };
  for (const Case& c : {Case{"astronaut.png", 1}, Case{"coffee.png", 0}, Case{"chelsea.png", 0}}) {
    const std::string path = photo(c.name);
    ASSERT_FALSE(path.empty()) << c.name << " could not be fetched";
    const json::Value report = answerOf(run({path}));
    for (const char* key : {"classifierRevision", "featurePrintRevision", "classifications", "humanCount",
                            "faceCount", "embedding", "pixelProfile"})
      EXPECT_TRUE(report.contains(key)) << c.name << " lacks " << key;
    EXPECT_EQ(report["faceCount"], c.faces) << c.name;
    if (c.faces > 0) {
      EXPECT_GE(report["humanCount"].get<int>(), 1) << c.name;  // a portrait is a person
    }
    EXPECT_TRUE(report["classifierRevision"].is_number_integer());
    EXPECT_TRUE(report["featurePrintRevision"].is_number_integer());

    const auto& labels = report["classifications"];
    EXPECT_LE(labels.size(), 20u);
    for (const auto& label : labels) {
      EXPECT_TRUE(label["label"].is_string());
      EXPECT_GE(label["confidence"].get<double>(), static_cast<double>(0.08f));
    }
    double squares = 0;
    for (const auto& value : report["embedding"]) {
      const double v = value.get<double>();
      EXPECT_LE(std::abs(v), 1.0);
      squares += v * v;
    }
    EXPECT_FALSE(report["embedding"].empty());
    EXPECT_NEAR(squares, 1.0, 1e-4) << c.name;

    const auto& profile = report["pixelProfile"];
    for (const char* key : {"dominantColors", "luminance", "saturation", "contrast", "colorfulness", "sharpness",
                            "shadowClipping", "highlightClipping", "perceptualHash", "duplicateMatrix30"})
      EXPECT_TRUE(profile.contains(key)) << c.name << " profile lacks " << key;
    EXPECT_TRUE(std::regex_match(profile["perceptualHash"].get<std::string>(), std::regex("[0-9a-f]{16}")));
    EXPECT_EQ(profile["duplicateMatrix30"].get<std::string>().size(), 1200u);
    EXPECT_GE(profile["dominantColors"].size(), 1u);
    EXPECT_LE(profile["dominantColors"].size(), 5u);
  }
}

TEST_F(SightgaugeRun, DefaultReportProfilesTheStoredRaster) {
  // 64 × 64 (so no resampling): three quarters pure red on the left, pure
  // blue on the right. Stored with orientation 6 it is shown turned, but the
  // profile describes the stored raster: its hash has bit 6 set in every row.
  const auto twoColours = [](int, int c) {
    return c < 48 ? std::array<std::uint8_t, 3>{255, 0, 0} : std::array<std::uint8_t, 3>{0, 0, 255};
  };
  for (const int orientation : {1, 6}) {
    const std::string path =
        paint("two-" + std::to_string(orientation) + ".tif", 64, 64, twoColours, orientation);
    VipsImage* written = vips_image_new_from_file(path.c_str(), nullptr);
    ASSERT_NE(written, nullptr);
    int recorded = 1;
    if (vips_image_get_typeof(written, VIPS_META_ORIENTATION)) vips_image_get_int(written, VIPS_META_ORIENTATION, &recorded);
    g_object_unref(written);
    ASSERT_EQ(recorded, orientation);
    const json::Value report = answerOf(run({path}));
    const auto& profile = report["pixelProfile"];
    EXPECT_EQ(profile["perceptualHash"], "4040404040404040") << orientation;
    ASSERT_EQ(profile["dominantColors"].size(), 2u);
    EXPECT_EQ(profile["dominantColors"][0]["hex"], "#FF0000");
    EXPECT_EQ(profile["dominantColors"][0]["weight"], 0.75);
    EXPECT_EQ(profile["dominantColors"][1]["hex"], "#0000FF");
    EXPECT_NEAR(profile["dominantColors"][1]["hue"].get<double>(), 240, 1e-9);
    EXPECT_NEAR(profile["luminance"].get<double>(), 0.75 * 0.2126 + 0.25 * 0.0722, 1e-12);
    EXPECT_EQ(profile["saturation"], 1);
    EXPECT_EQ(profile["shadowClipping"], 0);
    EXPECT_EQ(report["faceCount"], 0);
    EXPECT_EQ(report["humanCount"], 0);
  }
}

TEST_F(SightgaugeRun, FaceReportOnRealPhotos) {
  const std::string astronaut = photo("astronaut.png");
  ASSERT_FALSE(astronaut.empty());
  const json::Value report = answerOf(run({"--faces-only", astronaut}));
  EXPECT_TRUE(report["detectorRevision"].is_number_integer());
  EXPECT_EQ(report["imageWidth"], 512);
  EXPECT_EQ(report["imageHeight"], 512);
  ASSERT_EQ(report["faces"].size(), 1u) << report.dump();
  const auto& face = report["faces"][0];
  // Her face lies around x 0.33..0.5 and, from the bottom, y 0.6..0.85.
  const double x = face["x"].get<double>(), y = face["y"].get<double>();
  const double w = face["w"].get<double>(), h = face["h"].get<double>();
  EXPECT_NEAR(x + w / 2, 0.42, 0.06) << report.dump();
  EXPECT_NEAR(y + h / 2, 0.72, 0.08) << report.dump();
  EXPECT_GT(w, 0.1);
  EXPECT_LT(w, 0.35);
  EXPECT_TRUE(face["eyes"].get<bool>());
  EXPECT_TRUE(face["nose"].get<bool>());
  EXPECT_TRUE(face["mouth"].get<bool>());
  EXPECT_GT(face["landmarkConfidence"].get<double>(), 0);
  EXPECT_LE(face["landmarkConfidence"].get<double>(), 1);
  ASSERT_TRUE(face.contains("quality"));
  EXPECT_GT(face["quality"].get<double>(), 0);
  EXPECT_LE(face["quality"].get<double>(), 1);
  ASSERT_TRUE(face.contains("yaw") && face.contains("roll"));
  EXPECT_LT(std::abs(face["yaw"].get<double>()), 30);  // she faces the camera
  EXPECT_LT(std::abs(face["roll"].get<double>()), 20);
  EXPECT_GT(face["sharpness"].get<double>(), 0);
  EXPECT_GT(face["contrast"].get<double>(), 10);

  for (const char* name : {"coffee.png", "chelsea.png"}) {
    const json::Value none = answerOf(run({"--faces-only", photo(name)}));
    EXPECT_TRUE(none["faces"].is_array());
    EXPECT_TRUE(none["faces"].empty()) << name << ": " << none.dump();
    EXPECT_TRUE(none.contains("detectorRevision"));
  }
}

TEST_F(SightgaugeRun, OrientationSixIsAnalysedUpright) {
  // The portrait stored a quarter turn counter-clockwise, flagged to be
  // shown turned clockwise (orientation 6).
  VipsImage* in = vips_image_new_from_file(photo("astronaut.png").c_str(), nullptr);
  ASSERT_NE(in, nullptr);
  VipsImage* wide = nullptr;
  ASSERT_EQ(vips_resize(in, &wide, 1.0, "vscale", 0.75, nullptr), 0);  // 512 × 384, so the sides differ
  g_object_unref(in);
  VipsImage* stored = nullptr;
  ASSERT_EQ(vips_rot(wide, &stored, VIPS_ANGLE_D270, nullptr), 0);
  g_object_unref(wide);
  const std::string path = save(stored, "turned.jpg[Q=95]", 6);

  const json::Value report = answerOf(run({"--faces-only", path}));
  EXPECT_EQ(report["imageWidth"], 512);  // the upright sides: the stored ones exchanged
  EXPECT_EQ(report["imageHeight"], 384);
  ASSERT_EQ(report["faces"].size(), 1u) << report.dump();
  const auto& face = report["faces"][0];
  EXPECT_NEAR(face["x"].get<double>() + face["w"].get<double>() / 2, 0.42, 0.06) << report.dump();
  EXPECT_FALSE(face.contains("sharpness"));  // the box is upright, the pixels are not
  EXPECT_FALSE(face.contains("contrast"));
  EXPECT_TRUE(face["eyes"].get<bool>());

  EXPECT_EQ(answerOf(run({path}))["faceCount"], 1);
}

TEST_F(SightgaugeRun, AMissingModelIsAnAnalysisFailureNamingTheFile) {
  const std::string portrait = photo("astronaut.png");
  ASSERT_FALSE(portrait.empty());
  fs::create_directory(dir_ + "/no-models");
  const std::string env = "ORVAN_MODEL_DIR=" + shellQuoted(dir_ + "/no-models") + " ";
  struct Case {
    std::vector<std::string> args;
    std::string prefix;
  };
  for (const Case& c : {Case{{portrait}, "Apple Vision analysis failed: "},
                        Case{{"--faces-only", portrait}, "Apple Vision face analysis failed: "}}) {
    const Outcome outcome = run(c.args, env);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err.rfind(c.prefix, 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find(dir_ + "/no-models/"), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(outcome.err.back(), '\n');
  }
  // The modes without recognisers need no model.
  EXPECT_EQ(run({"--matrix30", portrait}, env).status, 0);
}

}  // namespace
