// The model directory: missing and damaged model files are errors that name
// the file, never "no faces", whether or not the models were prepared first.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "compiled_network.h"
#include "landmark_model.h"
#include "test_photos.h"
#include "vision.h"

namespace {

namespace fs = std::filesystem;
using vision_test::ModelDirectoryOverride;
using vision_test::picture;
using vision_test::TemporaryDirectory;

void write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Copies the installed models (following links) into `directory`, except `skip`.
void copyModels(const std::string& directory, const std::string& skip) {
  const std::string installed = vision::modelDirectory();
  for (const char* name : {vision::faceBackModelFile, vision::faceFrontModelFile, vision::hogFaceModelFile,
                           vision::landmarkModelFile}) {
    if (skip == name) continue;
    if (std::string(name) == vision::landmarkModelFile) {
      fs::create_symlink(fs::canonical(installed + "/" + name), directory + "/" + name);
    } else {
      fs::copy_file(installed + "/" + name, directory + "/" + name);
    }
  }
}

enum class Request { faces, landmarks };

struct BrokenModel {
  const char* description;
  const char* file;     // the file that is wrong
  const char* content;  // nullptr: absent
  Request request;
  const char* message;  // start of the error message
};

TEST(ModelFiles, MissingOrDamagedFilesAreErrorsNamingTheFile) {
  const BrokenModel cases[] = {
      {"no back network", vision::faceBackModelFile, nullptr, Request::faces, "Model file is missing: "},
      {"no front network", vision::faceFrontModelFile, nullptr, Request::faces, "Model file is missing: "},
      {"back network of garbage", vision::faceBackModelFile, "not a network at all", Request::faces,
       "Model file is damaged: "},
      {"empty front network", vision::faceFrontModelFile, "", Request::faces, "Model file is damaged: "},
      {"HOG face detector of garbage", vision::hogFaceModelFile, "garbage", Request::faces,
       "Model file is damaged: "},
      {"no landmark model", vision::landmarkModelFile, nullptr, Request::landmarks, "Model file is missing: "},
      {"landmark model of garbage", vision::landmarkModelFile, "\x01\x02garbage", Request::landmarks,
       "Model file is damaged: "},
  };
  const auto p = picture(vision_test::photo("astronaut.png"));
  for (const auto& c : cases) {
    const TemporaryDirectory directory;
    copyModels(directory.path, c.file);
    if (c.content) write(directory.path + "/" + c.file, c.content);
    const ModelDirectoryOverride override(directory.path);
    const vision::Handler handler(p.image());
    const std::string expectedPath = directory.path + "/" + c.file;
    // Preparing leaves the error to the request.
    EXPECT_NO_THROW(vision::prepareFaceDetection(true)) << c.description;
    try {
      if (c.request == Request::faces)
        vision::detectFaceRectangles(handler);
      else
        vision::detectFaceLandmarks(handler);
      ADD_FAILURE() << c.description << ": no error";
    } catch (const vision::ModelFileError& e) {
      EXPECT_EQ(e.path(), expectedPath) << c.description;
      EXPECT_EQ(std::string(e.what()).rfind(std::string(c.message) + expectedPath, 0), 0u)
          << c.description << ": " << e.what();
    }
  }
}

// The fast landmark file fits dlib's points exactly; one that is damaged,
// cut short or made from another file is not used (the caller then reads
// dlib's file).
TEST(ModelFiles, TheFastLandmarkModelIsDlibsOwnOrNothing) {
  const TemporaryDirectory directory;
  const std::string source = fs::canonical(vision::modelDirectory() + "/" + vision::landmarkModelFile);
  const std::string fast = directory.path + "/fast";
  std::string problem;
  ASSERT_TRUE(vision::detail::writeFastShapePredictor(source, fast, problem)) << problem;
  EXPECT_FALSE(fs::exists(fast + ".partial"));
  const auto loaded = vision::detail::FastShapePredictor::open(fast, source);
  ASSERT_TRUE(loaded);
  dlib::shape_predictor original;
  dlib::deserialize(source) >> original;
  ASSERT_EQ(loaded->num_parts(), original.num_parts());
  // Boxes on a face, beside it, reaching past the picture, and tiny.
  cv::Mat grey;
  cv::cvtColor(vision_test::photo("astronaut.png"), grey, cv::COLOR_BGR2GRAY);
  const dlib::cv_image<unsigned char> image(grey);
  const dlib::rectangle boxes[] = {{170, 40, 290, 180}, {160, 30, 300, 200}, {0, 0, 100, 100},
                                   {400, 400, 600, 600}, {200, 100, 204, 104}};
  for (const auto& box : boxes) {
    const auto a = (*loaded)(image, box), b = original(image, box);
    for (unsigned long i = 0; i < b.num_parts(); ++i) ASSERT_EQ(a.part(i), b.part(i)) << box << " point " << i;
  }

  std::ifstream in(fast, std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), {});
  // Offsets: magic 0, source size 8, shape length 24; the first split's
  // first index follows the first cascade's pixels, its tree count and the
  // first tree's split count.
  std::uint32_t n = 0, pixels = 0;
  std::memcpy(&n, good.data() + 24, 4);
  const std::size_t pixelsAt = 28 + 4 * std::size_t{n} + 4;
  std::memcpy(&pixels, good.data() + pixelsAt, 4);
  const std::size_t firstSplit = pixelsAt + 4 + 12 * std::size_t{pixels} + 4 + 4;
  struct Damage {
    const char* description;
    std::function<void(std::string&)> apply;
  };
  const auto poke = [](std::size_t at, std::uint32_t value) {
    return [at, value](std::string& bytes) { std::memcpy(bytes.data() + at, &value, 4); };
  };
  const Damage damages[] = {
      {"wrong magic", [](std::string& b) { b[0] = 'X'; }},
      {"made from a file of another size", poke(8, 12345)},
      {"cut in half", [](std::string& b) { b.resize(b.size() / 2); }},
      {"one byte short", [](std::string& b) { b.pop_back(); }},
      {"one byte too many", [](std::string& b) { b.push_back('\0'); }},
      {"a split reading past the feature pixels", poke(firstSplit, pixels)},
      {"a shape length past the end", poke(24, 0xffffffffu)},
      {"empty", [](std::string& b) { b.clear(); }},
  };
  for (const auto& d : damages) {
    std::string bytes = good;
    d.apply(bytes);
    write(fast, bytes);
    EXPECT_FALSE(vision::detail::FastShapePredictor::open(fast, source)) << d.description;
  }
  EXPECT_FALSE(vision::detail::FastShapePredictor::open(directory.path + "/absent", source));
}

// Both face networks compile, and the compiled forms give OpenCV's outputs
// (to float rounding) on windows of real photos, grey and noise; a network
// with a layer the compiler does not take is refused.
TEST(ModelFiles, CompiledFaceNetworksAnswerAsOpenCV) {
  const std::vector<cv::String> outputs{"Identity:0", "Identity_1:0", "Identity_2:0", "Identity_3:0"};
  cv::Mat noise(300, 300, CV_8UC3);
  cv::randu(noise, 0, 256);
  const cv::Mat inputs[] = {vision_test::photo("astronaut.png"), vision_test::photo("coffee.png"),
                            cv::Mat(64, 64, CV_8UC3, cv::Scalar(127, 127, 127)), noise};
  for (const auto& [file, size] : {std::pair{vision::faceBackModelFile, 256}, {vision::faceFrontModelFile, 128}}) {
    cv::dnn::Net net = cv::dnn::readNetFromONNX(vision::modelDirectory() + "/" + file);
    const auto graph = vision::compiled::compile(net, {1, size, size, 3}, outputs);
    ASSERT_TRUE(graph) << file;
    vision::compiled::Runner runner(graph);
    ASSERT_TRUE(runner.usable());
    for (const cv::Mat& bgr : inputs) {
      cv::Mat rgb;
      cv::resize(bgr, rgb, cv::Size(size, size), 0, 0, cv::INTER_AREA);
      cv::cvtColor(rgb, rgb, cv::COLOR_BGR2RGB);
      const int shape[] = {1, size, size, 3};
      cv::Mat blob(4, shape, CV_32F);
      rgb.convertTo(cv::Mat(size, size, CV_32FC3, blob.data), CV_32FC3, 2.0 / 255.0, -1.0);
      std::vector<cv::Mat> expected;
      net.setInput(blob);
      net.forward(expected, outputs);
      ASSERT_TRUE(runner.run(blob.ptr<float>()));
      ASSERT_EQ(runner.outputs().size(), expected.size());
      for (std::size_t o = 0; o < expected.size(); ++o) {
        ASSERT_EQ(runner.outputs()[o].size(), expected[o].total()) << file << " output " << o;
        for (std::size_t k = 0; k < expected[o].total(); ++k) {
          const float want = expected[o].ptr<float>()[k], got = runner.outputs()[o][k];
          ASSERT_NEAR(got, want, 1e-3f * (1.0f + std::abs(want))) << file << " output " << o << " value " << k;
        }
      }
    }
  }
  cv::dnn::Net other;
  cv::dnn::LayerParams sigmoid;
  other.addLayerToPrev("squash", "Sigmoid", sigmoid);
  EXPECT_FALSE(vision::compiled::compile(other, {1, 32, 32, 3}, {"squash"}));
}

TEST(ModelFiles, TheDirectoryFollowsTheEnvironmentOrSitsBesideThePrograms) {
  {
    const ModelDirectoryOverride override("/some/where/models");
    EXPECT_EQ(vision::modelDirectory(), "/some/where/models");
  }
  const char* saved = std::getenv("ORVAN_MODEL_DIR");
  const std::string keep = saved ? saved : "";
  ::unsetenv("ORVAN_MODEL_DIR");
  const std::string besidePrograms = vision::modelDirectory();
  if (saved) ::setenv("ORVAN_MODEL_DIR", keep.c_str(), 1);
  EXPECT_NE(besidePrograms.find("/../share/orvan/models"), std::string::npos) << besidePrograms;
}

struct BadImage {
  const char* description;
  vision::Image image;
};

TEST(Handler, RefusesUnusablePictures) {
  static const std::uint8_t pixels[64] = {};
  const BadImage cases[] = {
      {"no pixels", {nullptr, 2, 2, 8, 8}},
      {"zero width", {pixels, 0, 2, 8, 8}},
      {"negative height", {pixels, 2, -1, 8, 8}},
      {"rows shorter than the width", {pixels, 4, 2, 8, 8}},
      {"twelve bits", {pixels, 2, 2, 8, 12}},
      {"16-bit rows too short", {pixels, 2, 2, 8, 16}},
  };
  for (const auto& c : cases) EXPECT_THROW(vision::Handler(c.image), vision::Error) << c.description;
}

}  // namespace
