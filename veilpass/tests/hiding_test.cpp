#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "veilpass.h"

namespace {

using veilpass::AnonymizeMethod;
using veilpass::Polygon;

constexpr std::int64_t kWidth = 120, kHeight = 100;

// A two-colour checkerboard of 4-pixel cells with a faint gradient, so that
// every pixel is known and a blur shows.
veilpass::Bitmap checkerboard() {
  auto raster = std::make_shared<imageio::Raster>();
  raster->width = kWidth;
  raster->height = kHeight;
  raster->data.resize(raster->rowBytes() * kHeight);
  for (std::int64_t y = 0; y < kHeight; ++y)
    for (std::int64_t x = 0; x < kWidth; ++x) {
      std::uint8_t* p = raster->data.data() + (y * kWidth + x) * 4;
      const bool light = ((x / 4) + (y / 4)) % 2 == 0;
      p[0] = static_cast<std::uint8_t>(light ? 230 : 30);
      p[1] = static_cast<std::uint8_t>(light ? 200 : 60 + x / 4);
      p[2] = static_cast<std::uint8_t>(light ? 170 : 90 + y / 4);
      p[3] = 255;
    }
  return raster;
}

const std::uint8_t* pixel(const imageio::Raster& raster, std::int64_t x, std::int64_t y) {
  return raster.data.data() + (y * raster.width + x) * 4;
}

bool samePixel(const imageio::Raster& a, const imageio::Raster& b, std::int64_t x, std::int64_t y) {
  return std::equal(pixel(a, x, y), pixel(a, x, y) + 4, pixel(b, x, y));
}

veilpass::Bitmap hidden(const veilpass::Bitmap& source, const std::vector<Polygon>& polygons, AnonymizeMethod method) {
  coreimage::Image current = veilpass::imageOfBitmap(source);
  for (const Polygon& polygon : polygons)
    current = veilpass::anonymized(current, polygon, source->width, source->height, method);
  auto rendering = veilpass::renderedBitmap(current, source->width, source->height);
  EXPECT_TRUE(rendering);
  return rendering;
}

// A pixel-aligned rectangle, top-left coordinates: no pixel is cut by its edge.
Polygon rectangle(double left, double top, double right, double bottom) {
  return {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
}

bool insideRect(std::int64_t x, std::int64_t y, const Polygon& r) {
  return x >= r[0].x && x < r[1].x && y >= r[0].y && y < r[2].y;
}

TEST(VeilpassMethods, HideInsideThePolygonAndKeepEveryPixelOutside) {
  const veilpass::Bitmap source = checkerboard();
  // Rows 10..39 from the top: a flip the wrong way round would hit rows 60..89.
  const Polygon face = rectangle(20, 10, 80, 40);
  for (AnonymizeMethod method : {AnonymizeMethod::paint, AnonymizeMethod::scratches, AnonymizeMethod::blur}) {
    SCOPED_TRACE(std::string(veilpass::rawValue(method)));
    const veilpass::Bitmap out = hidden(source, {face}, method);
    ASSERT_TRUE(out);
    int changedInside = 0, light = 0, dark = 0, fill = 0, inside = 0;
    for (std::int64_t y = 0; y < kHeight; ++y)
      for (std::int64_t x = 0; x < kWidth; ++x) {
        if (!insideRect(x, y, face)) {
          ASSERT_TRUE(samePixel(*out, *source, x, y)) << x << "," << y;
          continue;
        }
        ++inside;
        const std::uint8_t* p = pixel(*out, x, y);
        changedInside += !samePixel(*out, *source, x, y);
        EXPECT_EQ(p[3], 255);
        if (method == AnonymizeMethod::blur) {
          // Radius 48 spreads the 4-pixel cells into their mean colour.
          EXPECT_NEAR(p[0], 130, 16) << x << "," << y;
          continue;
        }
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;  // grey throughout
        fill += p[0] == 20;
        light += p[0] == 204;
        dark += p[0] == 64;
      }
    EXPECT_EQ(changedInside, inside);
    if (method == AnonymizeMethod::paint) {
      EXPECT_EQ(fill, inside);
    }
    if (method == AnonymizeMethod::scratches) {
      EXPECT_GT(light, 50);
      EXPECT_GT(dark, 50);
      EXPECT_GT(fill, inside / 3);
    }
  }
}

TEST(VeilpassMethods, FacesAreHiddenOneAfterAnotherOnTheAccumulatedPicture) {
  const veilpass::Bitmap source = checkerboard();
  const Polygon first = rectangle(4, 4, 40, 40), second = rectangle(60, 50, 110, 96);
  const veilpass::Bitmap painted = hidden(source, {first, second}, AnonymizeMethod::paint);
  EXPECT_EQ(pixel(*painted, 10, 10)[0], 20);
  EXPECT_EQ(pixel(*painted, 100, 90)[0], 20);
  EXPECT_TRUE(samePixel(*painted, *source, 50, 45));

  // A blur over a painted face sees the paint: the second step works on the
  // result of the first, not on the source.
  const Polygon overlap = rectangle(20, 20, 60, 60);
  const veilpass::Bitmap blurredOnly = hidden(source, {overlap}, AnonymizeMethod::blur);
  const coreimage::Image paintedThenBlurred = veilpass::anonymized(
      veilpass::anonymized(veilpass::imageOfBitmap(source), first, kWidth, kHeight, AnonymizeMethod::paint), overlap,
      kWidth, kHeight, AnonymizeMethod::blur);
  const veilpass::Bitmap mixed = veilpass::renderedBitmap(paintedThenBlurred, kWidth, kHeight);
  ASSERT_TRUE(mixed);
  for (int y : {20, 30, 40, 50})
    for (int x : {20, 30, 40, 50}) EXPECT_LT(pixel(*mixed, x, y)[0] + 5, pixel(*blurredOnly, x, y)[0]) << x << "," << y;
  EXPECT_EQ(pixel(*mixed, 10, 10)[0], 20);
}

TEST(VeilpassMethods, HidingInTheBitmapGivesThePixelsOfTheChain) {
  // Two faces whose boxes overlap, and a third apart from them.
  const std::vector<Polygon> faces = {rectangle(4, 4, 40, 40), {{30, 20}, {70, 25}, {60, 70}, {25, 60}},
                                      rectangle(85, 60, 115, 95)};
  for (AnonymizeMethod method : {AnonymizeMethod::paint, AnonymizeMethod::scratches, AnonymizeMethod::blur}) {
    SCOPED_TRACE(std::string(veilpass::rawValue(method)));
    const veilpass::Bitmap chained = hidden(checkerboard(), faces, method);
    const veilpass::Bitmap inPlace = checkerboard();
    for (const Polygon& face : faces) veilpass::hideFace(inPlace, face, method);
    int largest = 0, differing = 0;
    for (std::size_t i = 0; i < inPlace->data.size(); ++i) {
      const int d = std::abs(int(inPlace->data[i]) - int(chained->data[i]));
      largest = std::max(largest, d);
      differing += d != 0;
    }
    // Only the rounding to 8 bits between the faces tells them apart.
    EXPECT_LE(largest, 1);
    if (method != AnonymizeMethod::blur) {
      EXPECT_EQ(differing, 0);
    }
  }
  // A face wholly outside the picture leaves the bitmap alone.
  const veilpass::Bitmap untouched = checkerboard();
  veilpass::hideFace(untouched, rectangle(300, 300, 400, 400), AnonymizeMethod::blur);
  EXPECT_EQ(untouched->data, checkerboard()->data);
}

TEST(VeilpassMethods, PolygonsAtAndBeyondThePictureEdge) {
  const veilpass::Bitmap source = checkerboard();
  struct Case {
    const char* name;
    Polygon polygon;
    int hiddenPixels;
  };
  const Case cases[] = {
      {"partly outside", rectangle(-30, -20, 10, 10), 100},
      {"wholly outside", rectangle(200, 10, 260, 40), 0},
      {"two points hide nothing", {{10, 10}, {50, 50}}, 0},
      {"no point", {}, 0},
      {"the whole picture and more", rectangle(-1e4, -1e4, 1e4, 1e4), int(kWidth * kHeight)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (AnonymizeMethod method : {AnonymizeMethod::paint, AnonymizeMethod::scratches, AnonymizeMethod::blur}) {
      const veilpass::Bitmap out = hidden(source, {c.polygon}, method);
      ASSERT_TRUE(out);
      int changed = 0;
      for (std::int64_t y = 0; y < kHeight; ++y)
        for (std::int64_t x = 0; x < kWidth; ++x) changed += !samePixel(*out, *source, x, y);
      if (method == AnonymizeMethod::paint || c.hiddenPixels == 0) {
        EXPECT_EQ(changed, c.hiddenPixels);
      } else {
        EXPECT_GT(changed, c.hiddenPixels * 3 / 4);
      }
    }
  }
}

TEST(VeilpassMask, WhiteInsideBlackOutsideWithAnAntiAliasedEdge) {
  const Polygon triangle{{10.5, 5}, {100, 20.25}, {30, 90}};
  const veilpass::Bitmap mask =
      veilpass::renderedBitmap(veilpass::maskImage(triangle, kWidth, kHeight), kWidth, kHeight);
  ASSERT_TRUE(mask);
  int white = 0, black = 0, edge = 0;
  double area = 0;
  for (std::int64_t y = 0; y < kHeight; ++y)
    for (std::int64_t x = 0; x < kWidth; ++x) {
      const std::uint8_t* p = pixel(*mask, x, y);
      EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]);
      area += p[0] / 255.0;
      if (p[0] == 255) ++white;
      else if (p[0] == 0) ++black;
      else ++edge;
    }
  // The triangle's area is 3 655.06 pixels.
  EXPECT_NEAR(area, 3655.06, 8);
  EXPECT_GT(edge, 100);
  EXPECT_GT(black, 8000);
  EXPECT_EQ(pixel(*mask, 45, 35)[0], 255);
  EXPECT_EQ(pixel(*mask, 110, 90)[0], 0);
}

TEST(VeilpassScratches, LinesOverThePolygonsBounds) {
  struct Case {
    const char* name;
    Polygon polygon;
    std::size_t count;
    double width;
  };
  const Case cases[] = {
      {"100 × 120 draws 15", rectangle(10, 20, 110, 140), 15, 100.0 / 45},
      {"40 × 48 still draws 8", rectangle(0, 0, 40, 48), 8, 40.0 / 24},
      {"small faces keep 1.5 pixels", rectangle(5, 5, 25, 30), 8, 1.5},
      {"wide ones count by their width", rectangle(0, 0, 400, 80), 50, 400.0 / 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto lines = veilpass::scratchLines(c.polygon);
    ASSERT_EQ(lines.size(), c.count);
    const double minX = c.polygon[0].x, maxX = c.polygon[1].x, minY = c.polygon[0].y, maxY = c.polygon[2].y;
    const double slant = 0.18 * (maxY - minY);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const double x = minX + (maxX - minX) * static_cast<double>(i) / static_cast<double>(c.count - 1);
      EXPECT_DOUBLE_EQ(lines[i].from.x, x - slant);
      EXPECT_DOUBLE_EQ(lines[i].to.x, x + slant);
      EXPECT_EQ(lines[i].from.y, minY);
      EXPECT_EQ(lines[i].to.y, maxY);
      EXPECT_EQ(lines[i].white, i % 2 == 0 ? 0.8 : 0.25);
      EXPECT_DOUBLE_EQ(lines[i].width, c.width);
    }
  }
  EXPECT_TRUE(veilpass::scratchLines({}).empty());
  // One point: bounds of no size, eight lines on top of each other.
  EXPECT_EQ(veilpass::scratchLines({{3, 4}}).size(), 8u);
}

TEST(VeilpassMethods, RawStringsAndCommandLine) {
  EXPECT_EQ(veilpass::anonymizeMethodNamed("paint"), AnonymizeMethod::paint);
  EXPECT_EQ(veilpass::anonymizeMethodNamed("scratches"), AnonymizeMethod::scratches);
  EXPECT_EQ(veilpass::anonymizeMethodNamed("blur"), AnonymizeMethod::blur);
  const auto parsed = veilpass::parseArguments({"in.png", "out.jpg", "blur"});
  EXPECT_EQ(parsed.input, "in.png");
  EXPECT_EQ(parsed.output, "out.jpg");
  EXPECT_EQ(parsed.method, AnonymizeMethod::blur);
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"in.png", "out.jpg"}, {"in.png", "out.jpg", "paint", "extra"}, {"in.png", "out.jpg", "Paint"},
      {"in.png", "out.jpg", "pixelate"}, {"in.png", "out.jpg", ""}, {"in.png", "out.jpg", "blur "},
  };
  for (const auto& arguments : wrong) {
    try {
      veilpass::parseArguments(arguments);
      ADD_FAILURE() << arguments.size() << " arguments accepted";
    } catch (const veilpass::Error& error) {
      EXPECT_EQ(error.code(), 9);
      EXPECT_EQ(error.description(), "Usage: veilpass <input> <output.jpg> <paint|scratches|blur>");
    }
  }
}

TEST(VeilpassErrors, DomainCodesAndDescriptions) {
  using veilpass::ErrorCode;
  const std::pair<ErrorCode, const char*> table[] = {
      {ErrorCode::decodeFailed, "Could not decode source image"},
      {ErrorCode::normalizeFailed, "Could not normalize source image"},
      {ErrorCode::maskFailed, "Could not create face mask"},
      {ErrorCode::replacementFailed, "Could not create opaque replacement"},
      {ErrorCode::replacementRenderFailed, "Could not render opaque replacement"},
      {ErrorCode::outputRasterFailed, "Could not rasterize anonymized output"},
      {ErrorCode::destinationFailed, "Could not create JPEG destination"},
      {ErrorCode::writeFailed, "Could not write anonymized JPEG"},
      {ErrorCode::verificationRenderFailed, "Could not render verification image"},
  };
  int expectedCode[] = {1, 2, 3, 4, 5, 6, 7, 8, 10};
  for (std::size_t i = 0; i < std::size(table); ++i) {
    const veilpass::Error error(table[i].first);
    EXPECT_EQ(error.domain(), "Veilpass");
    EXPECT_EQ(error.code(), expectedCode[i]);
    EXPECT_EQ(error.description(), table[i].second);
  }
  const veilpass::Error remaining(ErrorCode::facesRemain, 3);
  EXPECT_EQ(remaining.code(), 11);
  EXPECT_EQ(remaining.description(), "Face detector still finds 3 face(s) after anonymization");
}

TEST(VeilpassOutput, FreshJpegOrTheErrorOfTheStepThatFailed) {
  char pattern[] = "/tmp/veilpass_output.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  struct Case {
    std::int64_t width, height;
    std::string path;
    int code;  // 0: written
  };
  const Case cases[] = {
      {65501, 1, dir + "/wide.jpg", 6},       // a side too long for JPEG
      {1, 65501, dir + "/tall.jpg", 6},
      {64, 48, dir + "/missing/out.jpg", 7},  // no such directory
      {64, 48, dir, 7},                       // a directory in the way
      {64, 48, dir + "/good.jpg", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const imageio::Raster raster = imageio::zeroedRaster(c.width, c.height);
    try {
      veilpass::writeFreshJPEG(raster, c.path);
      EXPECT_EQ(c.code, 0);
    } catch (const veilpass::Error& error) {
      EXPECT_EQ(error.code(), c.code);
    }
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"good.jpg"});
  std::filesystem::remove_all(dir);
}

TEST(VeilpassSummary, SortedKeysAndALineFeed) {
  EXPECT_EQ(veilpass::summaryLine({AnonymizeMethod::scratches, 1, 4}),
            "{\"method\":\"scratches\",\"remainingFaceCount\":1,\"sourceFaceCount\":4}\n");
  EXPECT_EQ(veilpass::summaryLine({AnonymizeMethod::paint, 0, 0}),
            "{\"method\":\"paint\",\"remainingFaceCount\":0,\"sourceFaceCount\":0}\n");
}

}  // namespace
