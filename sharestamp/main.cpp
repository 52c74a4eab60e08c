// sharestamp <input-image> <output-jpeg> <watermark-title> <wordpress-domain>
//            <call-to-action> [logo-path]
// Writes the social-media image of one photo and prints the output path.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"
#include "sharestamp.h"

using namespace sharestamp;

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fputs((message + "\n").c_str(), stderr);
  std::exit(1);
}

// The logo, fitted into the mark square; absent (no error) when the path is
// empty or names nothing that decodes as an image of positive size.
std::optional<graphics::Image> loadLogo(const std::string& path, graphics::Rect& rect) {
  if (path.empty() || !files::exists(path)) return std::nullopt;
  const auto source = imageio::Source::open(path);
  if (!source) return std::nullopt;
  const imageio::PointSize size = imageio::sizeInPoints(source->properties(), imageio::Orientation::applied);
  if (!(size.width > 0 && size.height > 0)) return std::nullopt;
  rect = aspectFit({size.width, size.height}, markRect);
  return decodeForRect(*source, rect);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6)
    fail("Usage: sharestamp <input-image> <output-jpeg> <watermark-title> <wordpress-domain> "
         "<call-to-action> [logo-path]");
  const std::string input = argv[1];
  const std::string output = argv[2];
  Composition composition;
  composition.text = cutTexts(argv[3], argv[4], argv[5]);
  if (!namesDomain(composition.text)) fail("The WordPress watermark must contain its destination domain");
  const std::string logoPath = argc > 6 ? argv[6] : "";

  if (!imageio::initialize()) fail("Cannot read image: " + input);
  composition.logo = loadLogo(logoPath, composition.logoRect);

  const auto source = imageio::Source::open(input);
  if (!source) fail("Cannot read image: " + input);
  const imageio::PointSize size = imageio::sizeInPoints(source->properties(), imageio::Orientation::applied);
  if (!(size.width > 0 && size.height > 0)) fail("Invalid image dimensions: " + input);
  composition.canvas = canvasSizeFor(size);
  composition.photoRect = aspectFit({size.width, size.height},
                                    {0, 0, composition.canvas.width, composition.canvas.height});
  composition.photo = decodeForRect(*source, composition.photoRect);
  if (!composition.photo) fail("Cannot read image: " + input);

  auto canvas = graphics::Canvas::create(static_cast<std::int64_t>(composition.canvas.width),
                                         static_cast<std::int64_t>(composition.canvas.height));
  if (!canvas) fail("Cannot allocate output bitmap");
  canvas->saveState();
  drawComposition(*canvas, composition);
  canvas->restoreState();

  const auto jpeg = imageio::encodeJpeg(canvas->rows(), jpegQuality);
  if (!jpeg) fail("Cannot encode JPEG: " + output);
  if (auto made = files::createDirectories(files::parentDirectory(output)); !made)
    fail("Cannot write JPEG: " + made.description);
  if (auto written = files::writeFileAtomically(output, jpeg->data(), jpeg->size()); !written)
    fail("Cannot write JPEG: " + written.description);
  std::fputs((output + "\n").c_str(), stdout);
  return 0;
}
