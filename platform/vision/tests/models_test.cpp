// The model directory: missing and damaged model files are errors that name
// the file, never "no faces".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
