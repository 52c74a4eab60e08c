// Opaque 8-bit sources are read as bytes by the colour memo of per-pixel
// chains, by the area histogram and by the Lanczos scaler. Each must give
// exactly what the float path gives for the same pixel values, which a
// 32-bit float source holding byte × (1/255) always takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "coreimage.h"

using namespace coreimage;

namespace {

using Bytes = std::vector<std::uint8_t>;

// An 8-bit RGBA pattern, rows top first, in which colours repeat across
// the picture (so the memo is both filled and read) and vary in all three
// components; `translucent` pixels get alpha 128.
std::shared_ptr<Bytes> pattern(int w, int h, int translucent = 0) {
  auto bytes = std::make_shared<Bytes>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = bytes->data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4;
      p[0] = static_cast<std::uint8_t>(x * 7 + y * 3);
      p[1] = static_cast<std::uint8_t>((x ^ y) * 5);
      p[2] = static_cast<std::uint8_t>((x / 3 + y / 5) * 11);
      p[3] = 255;
    }
  for (int i = 0; i < translucent; ++i) (*bytes)[(static_cast<std::size_t>(i) * 7919 % (bytes->size() / 4)) * 4 + 3] = 128;
  return bytes;
}

Image eightBit(const std::shared_ptr<Bytes>& bytes, int w, int h) {
  return Image::fromPixels(bytes, bytes->data(), w, h, 8, static_cast<std::size_t>(w) * 4);
}

// The same pixels as 32-bit floats, with the values an 8-bit source decodes to.
Image asFloat(const std::shared_ptr<Bytes>& bytes, int w, int h) {
  auto floats = std::make_shared<std::vector<float>>(bytes->size());
  for (std::size_t i = 0; i < bytes->size(); ++i) (*floats)[i] = (*bytes)[i] * (1.0f / 255.0f);
  return Image::fromPixels(floats, floats->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

Image filtered(const char* name, const Image& input, Parameters p = {}) {
  auto filter = Filter::named(name);
  EXPECT_TRUE(filter) << name;
  if (!filter) return {};
  filter->setValue(kInputImageKey, input);
  for (auto& [k, v] : p) filter->setValue(k, v);
  auto out = filter->outputImage();
  EXPECT_TRUE(out) << name;
  return out ? *out : Image();
}

// A crossed (not separable) cube of dimension n whose alpha is `alpha`.
Data crossedCube(int n, float alpha) {
  std::vector<float> v;
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        float r = i / float(n - 1), g = j / float(n - 1), b = k / float(n - 1);
        v.insert(v.end(), {0.8f * r + 0.2f * g * g, 0.1f * r + 0.9f * g, 0.3f * g + 0.7f * b * b, alpha});
      }
  Data d(v.size() * sizeof(float));
  std::memcpy(d.data(), v.data(), d.size());
  return d;
}

// A look built like the renderer's: gain, cube, saturation, then the cube
// again mixed in at partial opacity.
Image look(const Image& source, float cubeAlpha) {
  Image image = filtered("CIColorMatrix", source, {{"inputRVector", Vector{{1.1, 0, 0, 0}}},
                                                   {"inputBiasVector", Vector{{0, 0.02, 0, 0}}}});
  image = filtered("CIColorCube", image, {{"inputCubeDimension", 9.0}, {"inputCubeData", crossedCube(9, 1)}});
  image = filtered("CIColorClamp", image);
  image = filtered("CIColorControls", image, {{"inputSaturation", 1.3}});
  Image layered = filtered("CIColorCube", image, {{"inputCubeDimension", 5.0}, {"inputCubeData", crossedCube(5, cubeAlpha)}});
  return filtered("CIDissolveTransition", image, {{"inputTargetImage", layered}, {"inputTime", 0.7}});
}

Bytes rendered8(const Image& image, int w, int h) {
  Bytes out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  render(image, {0, 0, w, h}, PixelFormat::rgba8, out.data(), static_cast<std::size_t>(w) * 4);
  return out;
}

std::size_t differences(const Bytes& a, const Bytes& b) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i];
  return n + (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
}

}  // namespace

// Big enough (a megapixel) for per-pixel chains to memoise their colours.
TEST(BytePaths, ColourMemoGivesTheFloatChainsBytes) {
  constexpr int w = 1024, h = 1024;
  for (auto [cubeAlpha, translucent] : {std::pair{1.0f, 0}, std::pair{0.0f, 40}}) {
    {
      auto bytes = pattern(w, h, translucent);
      Bytes expected = rendered8(look(asFloat(bytes, w, h), cubeAlpha), w, h);
      Image memoised = look(eightBit(bytes, w, h), cubeAlpha);
      // The second render reads colours the first one stored.
      for (int run = 0; run < 2; ++run)
        EXPECT_EQ(differences(rendered8(memoised, w, h), expected), 0u)
            << "alpha " << cubeAlpha << ", translucent " << translucent << ", run " << run;
    }
  }
  // A moved and cropped chain still reads the source's bytes.
  auto bytes = pattern(w, h);
  Image moved = look(eightBit(bytes, w, h).translated(-3, 5), 1).cropped(Rect::make(0, 0, 800, 900));
  Image reference = look(asFloat(bytes, w, h).translated(-3, 5), 1).cropped(Rect::make(0, 0, 800, 900));
  EXPECT_EQ(differences(rendered8(moved, 800, 900), rendered8(reference, 800, 900)), 0u);
}

TEST(BytePaths, HistogramOfBytesEqualsHistogramOfFloats) {
  constexpr int w = 300, h = 200;
  for (int translucent : {0, 25}) {
    auto bytes = pattern(w, h, translucent);
    for (Vector area : {Vector{{0, 0, w, h}}, Vector{{10, 20, 200, 150}}}) {
      auto histogram = [&](const Image& source) {
        Image out = filtered("CIAreaHistogram", source, {{"inputExtent", area}, {"inputCount", 256.0}});
        return renderFloat(out, {0, 0, 256, 1});
      };
      std::vector<float> fromBytes = histogram(eightBit(bytes, w, h));
      EXPECT_EQ(fromBytes, histogram(asFloat(bytes, w, h)));
      double alpha = 0;
      for (std::size_t i = 3; i < fromBytes.size(); i += 4) alpha += fromBytes[i];
      EXPECT_NEAR(alpha, 1.0, 1e-5);
    }
  }
}

// Wide enough that the scaler reads its input in several strips.
TEST(BytePaths, LanczosOfBytesEqualsLanczosOfFloats) {
  constexpr int w = 2100, h = 1100;
  for (int translucent : {0, 3}) {
    auto bytes = pattern(w, h, translucent);
    for (double scale : {0.1, translucent ? 0.7 : 0.45}) {
      auto scaled = [&](const Image& source) {
        Image out = filtered("CILanczosScaleTransform", source, {{kInputScaleKey, scale}});
        Rect e = out.extent();
        return renderFloat(out, {0, 0, static_cast<std::int64_t>(e.width()), static_cast<std::int64_t>(e.height())});
      };
      std::vector<float> fromBytes = scaled(eightBit(bytes, w, h));
      EXPECT_FALSE(fromBytes.empty());
      EXPECT_TRUE(fromBytes == scaled(asFloat(bytes, w, h))) << "scale " << scale << ", translucent " << translucent;
    }
  }
}

// A source still being decoded delivers its top rows first; the renderer,
// the histogram and the scaler ask for rows in that order.
TEST(BytePaths, RowsAreAskedForTopFirst) {
  constexpr int w = 300, h = 700;
  auto bytes = pattern(w, h);
  std::mutex lock;
  std::vector<std::int64_t> asked;
  Image gated = Image::fromPixels(bytes, bytes->data(), w, h, 8, w * 4, [&](std::int64_t rows) {
    std::lock_guard guard(lock);
    asked.push_back(rows);
  });
  auto topFirst = [&] {
    bool ordered = !asked.empty() && std::is_sorted(asked.begin(), asked.end());
    asked.clear();
    return ordered;
  };
  Bytes out(static_cast<std::size_t>(w) * h * 4);
  render(filtered("CIColorControls", gated, {{"inputSaturation", 0.5}}), {0, 0, w, h}, PixelFormat::rgba8,
         out.data(), w * 4, false);
  EXPECT_TRUE(topFirst());
  // The histogram and the scaler share out bands between threads; each
  // thread still moves down the picture, so the first requests come from the top.
  renderFloat(filtered("CIAreaHistogram", gated, {{"inputExtent", Vector{{0, 0, w, h}}}}), {0, 0, 64, 1});
  ASSERT_FALSE(asked.empty());
  EXPECT_LE(asked.front(), 2 * 64);
  asked.clear();
  renderFloat(filtered("CILanczosScaleTransform", gated, {{kInputScaleKey, 0.5}}), {0, 300, 150, 50});
  ASSERT_FALSE(asked.empty());
  EXPECT_TRUE(topFirst());
}
