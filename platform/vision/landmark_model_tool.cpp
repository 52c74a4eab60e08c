// Writes the fast form of the 68-point landmark model beside it in the
// model directory (see landmark_model.h). Run by the build; a model
// directory without the dlib model (setup.sh not yet run) is left alone.
//   vision_landmark_model <dlib-model> <fast-model>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "landmark_model.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vision_landmark_model <dlib-model> <fast-model>\n");
    return 2;
  }
  struct stat info {};
  if (::stat(argv[1], &info) != 0) {
    std::fprintf(stderr, "vision_landmark_model: %s is not there yet; skipped\n", argv[1]);
    return 0;
  }
  std::string problem;
  if (!vision::detail::writeFastShapePredictor(argv[1], argv[2], problem)) {
    std::fprintf(stderr, "vision_landmark_model: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}
