// levelprobe <input-image>
// Prints one line of JSON: the rotation in degrees that levels the photo's
// horizon, and the detector's confidence.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>

#include "imageio.h"
#include "levelprobe.h"
#include "vision.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fputs((message + "\n").c_str(), stderr);
  std::exit(1);
}

// Whether `bytes` can be had at the moment: the image library's worker
// threads abort the process when an allocation of theirs fails, so a decode
// that would leave too little room is refused before it starts.
bool memoryAvailable(double bytes) {
  if (!(bytes < static_cast<double>(std::numeric_limits<std::size_t>::max() / 2))) return false;
  void* block = ::operator new(static_cast<std::size_t>(bytes), std::nothrow);
  if (!block) return false;
  ::operator delete(block);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace levelprobe;
  if (argc < 2) fail("Usage: levelprobe <input-image>");
  const std::string path = argv[1];

  if (!imageio::initialize()) fail("Cannot read image: " + path);
  const auto source = imageio::Source::open(path);
  if (!source) fail("Cannot read image: " + path);
  const imageio::Properties& properties = source->properties();
  // The detector sees the picture at most horizonWorkingEdge pixels long, so
  // it is decoded (as stored; the handler turns it upright) at no more than
  // twice that: a large photo is never held at full size. At its peak a run
  // holds the decoded picture, the detector's upright colour copy (twice
  // while it turns) and its grey copy, with room for the decoder's strips
  // and threads.
  const double pixels = static_cast<double>(properties.pixelWidth) * static_cast<double>(properties.pixelHeight);
  const double longEdge = static_cast<double>(std::max(properties.pixelWidth, properties.pixelHeight));
  const double shrink = std::min(1.0, decodeEdge / std::max(1.0, longEdge));
  if (!memoryAvailable(pixels * shrink * shrink * 12 + 512.0 * 1024 * 1024)) fail("Cannot read image: " + path);
  imageio::DecodeLimits limits;
  limits.maxPixels = maxPixels;
  auto raster = source->thumbnail(decodeEdge, imageio::Orientation::stored, limits);
  if (!raster) fail("Cannot read image: " + path);
  const int orientation = properties.orientation;

  std::optional<vision::HorizonObservation> horizon;
  try {
    std::optional<vision::Handler> handler;
    {
      const vision::Image image{raster->data.data(), raster->width, raster->height, raster->rowBytes(),
                                raster->bitsPerComponent};
      handler.emplace(image, orientation);
      raster.reset();  // the handler keeps its own upright copy
    }
    horizon = vision::detectHorizon(*handler);
  } catch (const std::bad_alloc&) {
    fail("Horizon detection failed: Not enough memory");
  } catch (const std::exception& e) {
    fail(std::string("Horizon detection failed: ") + e.what());
  }
  if (!horizon) fail("No horizon detected");

  const auto text = encodeResult(horizonResult(*horizon));
  if (!text) fail("Cannot encode horizon result JSON");
  const std::string line = *text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  return 0;
}
