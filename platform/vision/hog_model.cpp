// Writes dlib's frontal face detector in its binary serialised form (the
// detector dlib carries compressed in its code takes seconds to unpack; the
// binary form loads in milliseconds). Run by the build into the model
// directory of the build tree.
//   vision_hog_model <output-file>
#include <dlib/image_processing/frontal_face_detector.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vision_hog_model <output-file>\n");
    return 2;
  }
  const std::string output = argv[1];
  const std::string partial = output + ".partial";
  try {
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    dlib::serialize(partial) << detector;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vision_hog_model: %s\n", e.what());
    std::remove(partial.c_str());
    return 1;
  }
  if (std::rename(partial.c_str(), output.c_str()) != 0) {
    std::perror("vision_hog_model");
    std::remove(partial.c_str());
    return 1;
  }
  return 0;
}
