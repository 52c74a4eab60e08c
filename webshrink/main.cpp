// webshrink <input-image> <output-jpeg> <max-edge>
// Writes the web gallery copy of one photo and prints its size as JSON.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "imageio.h"
#include "json.h"
#include "webshrink.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fputs((message + "\n").c_str(), stderr);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace webshrink;
  if (argc != 4) fail("Usage: webshrink <input-image> <output-jpeg> <max-edge>");
  const std::string input = argv[1];
  const std::string output = argv[2];
  const double maxEdge = parseMaxEdge(argv[3]);

  if (!imageio::initialize()) fail("Cannot read image: " + input);
  const auto source = imageio::Source::open(input);
  if (!source) fail("Cannot read image: " + input);
  const imageio::PointSize sourceSize =
      imageio::sizeInPoints(source->properties(), imageio::Orientation::applied);
  if (!(sourceSize.width > 0 && sourceSize.height > 0)) fail("Image has invalid dimensions");
  const PixelSize target = targetSize(sourceSize, maxEdge);

  const WriteResult written = writeGalleryCopy(*source, target, output, input);
  if (!written.ok) fail(written.message);

  json::Value payload = json::Value::object();
  payload["width"] = target.width;
  payload["height"] = target.height;
  const auto text = json::write(payload);
  std::fwrite(text->data(), 1, text->size(), stdout);
  return 0;
}
