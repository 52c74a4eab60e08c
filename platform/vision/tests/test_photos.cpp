#include "test_photos.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>

namespace vision_test {

cv::Mat photo(const std::string& name) {
  const char* env = std::getenv("ORVAN_SAMPLE_PHOTOS");
  const std::filesystem::path root = env && *env ? env : ORVAN_SAMPLE_PHOTOS;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename() == name) {
      cv::Mat bgr = cv::imread(it->path().string(), cv::IMREAD_COLOR);
      if (!bgr.empty()) return bgr;
    }
  }
  ADD_FAILURE() << name << " not found under " << root << " (run ./setup.sh)";
  return cv::Mat(64, 64, CV_8UC3, cv::Scalar(0, 0, 0));
}

Picture picture(const cv::Mat& bgr) {
  Picture p;
  cv::cvtColor(bgr, p.rgba, cv::COLOR_BGR2RGBA);
  return p;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vision-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

ModelDirectoryOverride::ModelDirectoryOverride(const std::string& directory) {
  if (const char* env = std::getenv("ORVAN_MODEL_DIR")) {
    previous = env;
    hadPrevious = true;
  }
  ::setenv("ORVAN_MODEL_DIR", directory.c_str(), 1);
}

ModelDirectoryOverride::~ModelDirectoryOverride() {
  if (hadPrevious)
    ::setenv("ORVAN_MODEL_DIR", previous.c_str(), 1);
  else
    ::unsetenv("ORVAN_MODEL_DIR");
}

}  // namespace vision_test
