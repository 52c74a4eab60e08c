// Times the recognisers on one photo for bench/vision.sh: model loading
// apart from the per-image work. Prints one "name seconds" line per step and
// the counts found.
//   vision_bench <image> [repeats]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>
#include <algorithm>

#include "imageio.h"
#include "vision.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The fastest of `repeats` runs of work(); work may return its own time (to
// leave out its preparation), else the whole call is timed.
template <typename F>
double best(int repeats, F&& work) {
  double fastest = 1e9;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    if constexpr (std::is_same_v<decltype(work()), double>) {
      fastest = std::min(fastest, work());
    } else {
      work();
      fastest = std::min(fastest, since(start));
    }
  }
  return fastest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vision_bench <image> [repeats]\n");
    return 2;
  }
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (!imageio::initialize()) return 1;
  try {
    auto start = Clock::now();
    const auto source = imageio::Source::open(argv[1]);
    const auto raster = source ? source->decode(imageio::Orientation::stored) : std::nullopt;
    if (!raster) {
      std::fprintf(stderr, "cannot decode %s\n", argv[1]);
      return 1;
    }
    std::printf("decode %.3f\n", since(start));
    const vision::Image image{raster->data.data(), raster->width, raster->height, raster->rowBytes(),
                              raster->bitsPerComponent};
    const int orientation = source->properties().orientation;

    // Model loading: the face networks (every worker's, made ready to run)
    // and dlib's HOG detector, then the landmark model on the photo's faces
    // (its first fit minus a later fit).
    {
      start = Clock::now();
      vision::prepareFaceDetection(false);
      std::printf("load-face-models %.3f\n", since(start));
    }
    double firstLandmarks = 0;
    std::size_t faceCount = 0;
    {
      const vision::Handler handler(image, orientation);
      faceCount = vision::detectFaceRectangles(handler).size();
      start = Clock::now();
      vision::detectFaceLandmarks(handler);
      firstLandmarks = since(start);
    }

    std::printf("handler %.3f\n", best(repeats, [&] { const vision::Handler h(image, orientation); }));
    // The networks answer an input they have seen from a cache, so each
    // repeat searches a copy one grey level brighter than the last: every
    // window's input differs and the networks really run.
    int brighter = 0;
    std::vector<std::uint8_t> lighter = raster->data;
    std::printf("faces %.3f\n", best(repeats, [&] {
                  ++brighter;
                  for (std::size_t i = 0; raster->bitsPerComponent == 8 && i < lighter.size(); ++i)
                    if (i % 4 != 3) lighter[i] = static_cast<std::uint8_t>(std::min(255, raster->data[i] + brighter));
                  const vision::Image copy{lighter.data(), raster->width, raster->height, raster->rowBytes(),
                                           raster->bitsPerComponent};
                  const auto start = Clock::now();
                  const vision::Handler h(copy, orientation);
                  vision::detectFaceRectangles(h);
                  return since(start);
                }));
    // The rest, each timed after the faces are found (they share them).
    const auto afterFaces = [&](auto&& work) {
      double fastest = 1e9;
      for (int i = 0; i < repeats; ++i) {
        const vision::Handler h(image, orientation);
        vision::detectFaceRectangles(h);
        const auto t = Clock::now();
        work(h);
        fastest = std::min(fastest, since(t));
      }
      return fastest;
    };
    const double fit = afterFaces([](const vision::Handler& h) { vision::detectFaceCaptureQuality(h); });
    std::printf("landmarks-quality %.3f\n", fit);
    std::printf("load-landmark-model %.3f\n", std::max(0.0, firstLandmarks - fit));
    std::size_t people = 0;
    std::printf("people %.3f\n",
                afterFaces([&](const vision::Handler& h) { people = vision::detectHumanRectangles(h).size(); }));
    std::printf("scene %.3f\n", afterFaces([](const vision::Handler& h) { vision::classifyScene(h); }));
    std::printf("feature-print %.3f\n", afterFaces([](const vision::Handler& h) { vision::generateFeaturePrint(h); }));
    std::printf("found faces %zu people %zu\n", faceCount, people);
  } catch (const vision::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
