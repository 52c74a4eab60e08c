// scanprobe <input-image> [--max-edge N]
// Prints one line of JSON: whether the scan is a negative, and where its
// frame lies.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "imageio.h"
#include "scanprobe.h"
#include "vision.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fputs((message + "\n").c_str(), stderr);
  std::exit(1);
}

// The frame by the rectangle detector on the analysed image; a detector
// that cannot run finds nothing.
std::optional<scanprobe::FrameEvidence> rectangleFromVision(const scanprobe::Bitmap& bitmap) {
  try {
    const vision::Image image{bitmap.pixels.data(), bitmap.width, bitmap.height,
                              static_cast<std::size_t>(bitmap.width) * 4, 8};
    const vision::Handler handler(image, 1);
    return scanprobe::rectangleFromVision(vision::detectRectangles(handler, scanprobe::frameRequest()),
                                          bitmap.width, bitmap.height);
  } catch (const std::exception&) {
    return std::nullopt;
  }
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

// What the analysis of an image of `pixels` pixels needs at its peak: the
// bitmap, the detector's colour and grey copies and its smaller working
// pictures, and room for the decoder's strips and threads.
double workingBytes(double pixels) { return pixels * 12 + 512.0 * 1024 * 1024; }

}  // namespace

int main(int argc, char** argv) {
  using namespace scanprobe;
  const auto settings = parseArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (!settings) fail("Usage: scanprobe <input-image> [--max-edge N]");
  const std::string& path = settings->inputPath;

  if (!imageio::initialize()) fail("Cannot read image: " + path);
  const auto source = imageio::Source::open(path);
  if (!source) fail("Cannot read image: " + path);
  const imageio::Properties& properties = source->properties();
  if (properties.pixelWidth < 1 || properties.pixelHeight < 1) fail("Cannot read image dimensions: " + path);

  // The analysed image is never larger than the file's own pixels, so a
  // --max-edge beyond the int range asks for the same as INT_MAX.
  const std::int64_t longEdge = std::max(properties.pixelWidth, properties.pixelHeight);
  const double shrink = std::min(1.0, static_cast<double>(settings->maxEdge) / static_cast<double>(longEdge));
  const double analysedPixels =
      static_cast<double>(properties.pixelWidth) * static_cast<double>(properties.pixelHeight) * shrink * shrink;
  if (analysedPixels > static_cast<double>(maxAnalysedPixels) || !memoryAvailable(workingBytes(analysedPixels)))
    fail("Cannot decode image pixels: " + path);
  const int maxEdge = static_cast<int>(std::min<std::int64_t>(settings->maxEdge, std::numeric_limits<int>::max()));
  imageio::DecodeLimits limits;
  limits.maxPixels = maxSourcePixels;
  auto thumbnail = source->thumbnail(maxEdge, imageio::Orientation::applied, limits);
  if (!thumbnail) fail("Cannot decode image pixels: " + path);
  if (thumbnail->width < smallestSide || thumbnail->height < smallestSide)
    fail("Image is too small to analyse: " + path);
  const auto bitmap = rasterise(std::move(*thumbnail));
  if (!bitmap) fail("Cannot rasterise image: " + path);

  const InteriorStatistics interior = measureInterior(*bitmap);
  if (interior.interiorCount == 0) fail("Image interior is empty: " + path);

  ScanAnalysis analysis;
  analysis.negative = judgeNegative(interior);
  // Working memory for the frame search on a large analysed image may run
  // out; that is reported like a bitmap that cannot be made.
  try {
    auto frame = ::rectangleFromVision(*bitmap);
    if (!frame) frame = rectangleFromLuminance(*bitmap);
    if (frame) analysis.frame = *frame;
  } catch (const std::bad_alloc&) {
    fail("Cannot rasterise image: " + path);
  }
  analysis.pixelWidth = properties.pixelWidth;
  analysis.pixelHeight = properties.pixelHeight;

  std::optional<std::string> text;
  try {
    text = encodeReport(analysis);
  } catch (const std::bad_alloc&) {
  }
  if (!text) fail("Cannot encode scan analysis JSON");
  const std::string line = *text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  return 0;
}
