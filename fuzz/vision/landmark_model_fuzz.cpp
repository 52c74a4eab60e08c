// Arbitrary bodies of the fast landmark file behind a header that matches
// its source: the reader must check every count against the bytes present
// and either refuse the file or give a model that fits any box of a picture
// without reading outside the file or the picture.
#include <dlib/opencv/cv_image.h>
#include <opencv2/core.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "landmark_model.h"

namespace {

struct Files {
  std::string directory, source, fast;
  std::string header;  // magic and the source's stamp
  Files() {
    char pattern[] = "/tmp/landmark-fuzz-XXXXXX";
    directory = ::mkdtemp(pattern);
    source = directory + "/source.dat";
    fast = directory + "/model.fast";
    std::FILE* f = std::fopen(source.c_str(), "wb");
    std::fputs("source", f);
    std::fclose(f);
    struct stat info {};
    ::stat(source.c_str(), &info);
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    const std::int64_t mtime = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    header.assign("ORVANSP2", 8);
    header.append(reinterpret_cast<const char*>(&size), sizeof size);
    header.append(reinterpret_cast<const char*>(&mtime), sizeof mtime);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Files files;
  std::string bytes = files.header;
  bytes.append(reinterpret_cast<const char*>(data), size);
  std::FILE* f = std::fopen(files.fast.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  const auto model = vision::detail::FastShapePredictor::open(files.fast, files.source);
  if (!model) return 0;
  cv::Mat grey(40, 30, CV_8UC1, cv::Scalar(90));
  const dlib::cv_image<unsigned char> image(grey);
  const dlib::rectangle boxes[] = {{0, 0, 29, 39}, {-50, -50, 100, 100}, {10, 10, 10, 10}};
  for (const auto& box : boxes) {
    const auto fit = (*model)(image, box);
    if (fit.num_parts() != model->num_parts()) std::abort();
  }
  return 0;
}
