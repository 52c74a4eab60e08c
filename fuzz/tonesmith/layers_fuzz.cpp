// Feeds arbitrary bytes as an --image-layers value: every layer read must
// hold clamped values, and compositing it over a small canvas (with a
// generated picture and, when a mask is named, a generated mask) must keep
// the frame and give finite pixels.
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "image_layers.h"

namespace {

using coreimage::Image;
using coreimage::Rect;

// A w × h picture of distinct colours with some translucent pixels.
Image generated(int w, int h, float seed) {
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w) * h * 4);
  for (int i = 0; i < w * h; ++i) {
    float* p = pixels->data() + static_cast<std::size_t>(i) * 4;
    p[0] = std::fmod(seed + 0.37f * static_cast<float>(i), 1.0f);
    p[1] = static_cast<float>(i % w) / static_cast<float>(w);
    p[2] = static_cast<float>(i / w) / static_cast<float>(h);
    p[3] = i % 3 == 0 ? 0.5f : 1.0f;
  }
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = json::parse(std::string_view(reinterpret_cast<const char*>(data), size), {.requireContainer = true});
  if (!value) return 0;
  const auto layers = tonesmith::readImageLayers(value);
  // Large enough that a wide feather takes the reduced matte.
  const Rect frame = Rect::make(0, 0, 128, 80);
  Image image = generated(128, 80, 0.1f);
  int drawn = 0;
  for (const auto& layer : layers) {
    if (layer.path.empty() || !within(layer.opacity, 0, 1) || layer.opacity == 0 || !within(layer.scale, 0.25, 4) ||
        !within(layer.rotation, -180, 180) || !within(layer.offsetX, -2, 2) || !within(layer.offsetY, -2, 2) ||
        !within(layer.feather, 0, 0.25))
      std::abort();
    if (++drawn > 6) continue;  // a few layers show every path; more only cost time
    const int w = 1 + static_cast<int>(layer.path.size() % 13), h = 1 + static_cast<int>(layer.maskPath.size() % 7);
    std::optional<Image> mask;
    if (!layer.maskPath.empty()) mask = generated(h, w, 0.7f);
    image = tonesmith::compositedLayer(image, frame, generated(w, h, 0.3f), mask, layer);
    if (!(image.extent() == frame)) std::abort();
  }
  for (float v : coreimage::renderFloat(image, {0, 0, 128, 80}))
    if (!std::isfinite(v)) std::abort();
  return 0;
}
