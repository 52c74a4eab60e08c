// Real photographs for the recogniser tests and small picture helpers.
#pragma once

#include <opencv2/core.hpp>

#include <string>

#include "vision.h"

namespace vision_test {

// The photo of that file name from the Debian packages unpacked by setup.sh
// (or under $ORVAN_SAMPLE_PHOTOS), as 8-bit BGR. Fails the test when absent.
cv::Mat photo(const std::string& name);

// An RGBA copy that a vision::Image can point into.
struct Picture {
  cv::Mat rgba;
  vision::Image image() const {
    return vision::Image{rgba.data, rgba.cols, rgba.rows, rgba.step[0], 8};
  }
};
Picture picture(const cv::Mat& bgr);

// A temporary directory removed at destruction.
struct TemporaryDirectory {
  TemporaryDirectory();
  ~TemporaryDirectory();
  std::string path;
};

// Sets $ORVAN_MODEL_DIR for the life of the object, then puts back what was.
struct ModelDirectoryOverride {
  explicit ModelDirectoryOverride(const std::string& directory);
  ~ModelDirectoryOverride();
  std::string previous;
  bool hadPrevious = false;
};

}  // namespace vision_test
