#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "options.h"

using namespace tonesmith;

namespace {

Arguments withPositional(std::vector<std::string> positional, std::vector<std::string> extra = {}) {
  Arguments args{"tonesmith"};
  args.insert(args.end(), positional.begin(), positional.end());
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

Arguments basic(std::vector<std::string> extra = {}) {
  return withPositional({"in.jpg", "out.jpg", "0", "0", "", "0", "0", "0", "1", "1"}, std::move(extra));
}

Settings rotationSettings(const std::string& rotation, std::vector<std::string> extra = {}) {
  return computeSettings(withPositional({"in", "out", "0", "0", "", rotation, "0", "0", "1", "1"}, std::move(extra)));
}

}  // namespace

TEST(TonesmithNumbers, StrtodSyntaxInTheCLocale) {
  EXPECT_EQ(parseNumber("12"), 12);
  EXPECT_EQ(parseNumber("-1.5e2"), -150);
  EXPECT_EQ(parseNumber("0x10"), 16);
  EXPECT_EQ(parseNumber("+.5"), 0.5);
  EXPECT_TRUE(std::isinf(*parseNumber("inf")));
  EXPECT_TRUE(std::isinf(*parseNumber("-Infinity")));
  for (const char* bad : {"", " 12", "12 ", "12abc", "1,5", "nan", "NAN(1)", "--1", "\t3"})
    EXPECT_FALSE(parseNumber(bad)) << bad;
  EXPECT_FALSE(parseNumber(std::string("1\0" "2", 3)));
}

TEST(TonesmithNumbers, IntegersAreDigitsWithin64Bits) {
  EXPECT_EQ(parseInteger("2048"), 2048);
  EXPECT_EQ(parseInteger("+7"), 7);
  EXPECT_EQ(parseInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parseInteger("9223372036854775807"), INT64_MAX);
  for (const char* bad : {"", "+", "-", "1e3", "9223372036854775808", "-9223372036854775809", " 1", "1.0", "0x10"})
    EXPECT_FALSE(parseInteger(bad)) << bad;
}

TEST(TonesmithNumbers, Base64IsStrictAndPadded) {
  EXPECT_EQ(decodeBase64("eyJhIjoxfQ=="), "{\"a\":1}");
  EXPECT_EQ(decodeBase64("YWJj"), "abc");
  EXPECT_EQ(decodeBase64(""), "");
  for (const char* bad : {"eyJhIjoxfQ", "eyJh IjoxfQ==", "YW=j", "Y===", "YWJj\n", "YW-j"})
    EXPECT_FALSE(decodeBase64(bad)) << bad;
}

TEST(TonesmithNumbers, WrappedRotation) {
  EXPECT_EQ(wrappedRotation(270), -90);
  EXPECT_EQ(wrappedRotation(-180), 180);
  EXPECT_EQ(wrappedRotation(180), 180);
  EXPECT_EQ(wrappedRotation(540), 180);
  EXPECT_EQ(wrappedRotation(-360), 0);
  EXPECT_FALSE(std::signbit(wrappedRotation(-360)));
  EXPECT_EQ(wrappedRotation(-190), 170);
}

TEST(TonesmithSettings, PositionalDefaultsAndClamps) {
  Settings s = computeSettings(basic());
  EXPECT_EQ(s.maxOutputEdge, 0);  // ten positional arguments are enough
  EXPECT_EQ(s.contrast, 1);

  s = computeSettings(withPositional({"i", "o", "9", "-1", "  film\n", "0", "0.99", "x", "", "0.5", "1e3"}));
  EXPECT_EQ(s.brightness, 3);
  EXPECT_EQ(s.contrastDelta, -1);
  EXPECT_EQ(s.contrast, 0.05);
  EXPECT_EQ(s.lut, "film");
  EXPECT_EQ(s.cropX, 0.98);
  EXPECT_EQ(s.cropY, 0);
  EXPECT_NEAR(s.cropWidth, 0.02, 1e-12);  // invalid: 1 - 0.98
  EXPECT_EQ(s.cropHeight, 0.5);
  EXPECT_EQ(s.maxOutputEdge, 0);  // 1e3 is not an integer

  s = computeSettings(withPositional({"i", "o", "0", "0", "", "0", "0.25", "0", "5", "0", "2048"}));
  EXPECT_EQ(s.cropWidth, 0.75);
  EXPECT_EQ(s.cropHeight, 0.02);
  EXPECT_EQ(s.maxOutputEdge, 2048);
}

TEST(TonesmithSettings, RotationSplitsIntoQuarterTurnsAndFineRotation) {
  Settings s = rotationSettings("270");
  EXPECT_EQ(s.rotation, -90);
  EXPECT_EQ(s.inferredTurns, -1);
  EXPECT_EQ(s.fineRotation, 0);
  EXPECT_EQ(s.orthogonalRotation, -90);

  s = rotationSettings("92.5");
  EXPECT_EQ(s.inferredTurns, 1);
  EXPECT_DOUBLE_EQ(s.fineRotation, 2.5);
  EXPECT_EQ(s.orthogonalRotation, 90);

  EXPECT_EQ(rotationSettings("45").inferredTurns, 0);
  EXPECT_EQ(rotationSettings("46").inferredTurns, 1);
  EXPECT_EQ(rotationSettings("-45").inferredTurns, 0);
  EXPECT_EQ(rotationSettings("-180").rotation, 180);
  EXPECT_EQ(rotationSettings(" 12").rotation, 0);
  EXPECT_EQ(rotationSettings("12deg").rotation, 0);
  EXPECT_EQ(rotationSettings("inf").rotation, 0);

  s = rotationSettings("92.5", {"--fine-rotation", "60"});
  EXPECT_EQ(s.fineRotation, 45);
  EXPECT_DOUBLE_EQ(s.orthogonalRotation, 47.5);
  s = rotationSettings("10", {"--orthogonal-rotation", "450"});
  EXPECT_EQ(s.orthogonalRotation, 90);
  EXPECT_EQ(s.fineRotation, 10);
}

TEST(TonesmithSettings, OptionLookupSeesOnlyTheFirstOccurrence) {
  Settings s = computeSettings(basic({"--saturation", "1.5", "--saturation", "0.2"}));
  EXPECT_EQ(s.saturation, 1.5);
  EXPECT_EQ(computeSettings(basic({"--saturation"})).saturation, 1);
  EXPECT_EQ(computeSettings(basic({"--saturation", "7"})).saturation, 2);
  // A value may itself look like an option.
  s = computeSettings(basic({"--film-color-profile", "--negative"}));
  EXPECT_EQ(s.filmColorProfile, "--negative");
  EXPECT_TRUE(s.negative);  // flags match any element
  EXPECT_EQ(computeSettings(basic({"--tone-mode", "linear"})).linearTone, true);
  EXPECT_EQ(computeSettings(basic({"--tone-mode", "Linear"})).linearTone, false);
  s = computeSettings(basic({"--output-format", "PNG", "--dpi", "AUTO", "--png-depth", "16"}));
  EXPECT_EQ(s.requestedFormat, "png");
  EXPECT_EQ(s.dpi, "auto");
  EXPECT_EQ(s.pngDepth, "16");
}

TEST(TonesmithSettings, NegativeFilmLookExtrasAndTriples) {
  Settings s = computeSettings(basic({"--negative-film-look", "1", "0.9", "0.8", "2.5"}));
  ASSERT_TRUE(s.negativeFilmLook);
  EXPECT_EQ((*s.negativeFilmLook)[1], 0.9);
  EXPECT_EQ(s.negativeFilmSaturation, 2);
  EXPECT_EQ(s.negativeFilmContrast, 1);
  s = computeSettings(basic({"--negative-film-look", "1", "x", "0.8", "0.5", "9"}));
  EXPECT_FALSE(s.negativeFilmLook);
  EXPECT_EQ(s.negativeFilmSaturation, 0.5);  // read even when the triple is invalid
  EXPECT_EQ(s.negativeFilmContrast, 1.5);
  s = computeSettings(basic({"--negative-base", "0", "2", "0.5", "--negative-response", "9", "0.1", "1"}));
  EXPECT_EQ(s.negativeBase, (std::array<double, 3>{0.01, 1, 0.5}));
  EXPECT_EQ(s.negativeResponse, (std::array<double, 3>{4, 0.2, 1}));
  s = computeSettings(basic({"--measure-film-base", "0.99", "-1", "0.5", "0"}));
  ASSERT_TRUE(s.measureFilmBase);
  EXPECT_EQ(s.measureFilmBase->x, 0.98);
  EXPECT_EQ(s.measureFilmBase->y, 0);
  EXPECT_NEAR(s.measureFilmBase->width, 0.02, 1e-12);
  EXPECT_EQ(s.measureFilmBase->height, 0.02);
  EXPECT_FALSE(computeSettings(basic({"--measure-film-base", "0", "0", "1"})).measureFilmBase);
}

TEST(TonesmithSettings, JsonOptionsTakeTheFileFormFirstThenBase64) {
  char dir[] = "/tmp/tonesmith-options-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string good = std::string(dir) + "/curve.json", broken = std::string(dir) + "/broken.json";
  std::ofstream(good) << "[[0,0],[1,1]]";
  std::ofstream(broken) << "[[0,0],";
  const std::string inlineObject = "eyJhIjoxfQ==";  // {"a":1}

  Settings s = computeSettings(basic({"--tone-curve", inlineObject}));
  ASSERT_TRUE(s.toneCurve);
  EXPECT_EQ((*s.toneCurve)["a"], 1);
  EXPECT_FALSE(computeSettings(basic({"--tone-curve", "{\"a\":1}"})).toneCurve);  // raw JSON is not Base64
  EXPECT_FALSE(computeSettings(basic({"--tone-curve", "MQ=="})).toneCurve);       // "1": not a container
  s = computeSettings(basic({"--tone-curve-file", good, "--tone-curve", inlineObject}));
  EXPECT_TRUE(s.toneCurve->is_array());
  // An unreadable file falls back to the inline form; a broken one does not.
  s = computeSettings(basic({"--tone-curve-file", std::string(dir) + "/missing", "--tone-curve", inlineObject}));
  EXPECT_TRUE(s.toneCurve->is_object());
  EXPECT_FALSE(computeSettings(basic({"--tone-curve-file", broken, "--tone-curve", inlineObject})).toneCurve);
  EXPECT_TRUE(computeSettings(basic({"--print-layout-file", good})).printLayout);
  std::remove(good.c_str());
  std::remove(broken.c_str());
  rmdir(dir);
}
