#include "json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace {

using json::Value;

std::string writeOrFail(const Value& value, const json::WriteOptions& options = {}) {
  const auto text = json::write(value, options);
  EXPECT_TRUE(text.has_value());
  return text.value_or("<absent>");
}

TEST(JsonWrite, RoundTripsADocumentCompactly) {
  const std::string source =
      R"({ "name": "IMG_0001.png", "size": [4032, 3024], "rating": 4.5,
           "flags": { "edited": true, "rejected": false, "album": null },
           "tags": [], "extra": {} })";
  const auto value = json::parse(source);
  ASSERT_TRUE(value);
  const std::string written = writeOrFail(*value);
  EXPECT_EQ(written,
            R"({"extra":{},"flags":{"album":null,"edited":true,"rejected":false},)"
            R"("name":"IMG_0001.png","rating":4.5,"size":[4032,3024],"tags":[]})");
  const auto reread = json::parse(written);
  ASSERT_TRUE(reread);
  EXPECT_EQ(writeOrFail(*reread), written);
  // Declared order reproduces the parsed value, order included.
  EXPECT_EQ(json::parse(writeOrFail(*value, {.keyOrder = json::KeyOrder::declared})), *value);
}

TEST(JsonWrite, EscapesStrings) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"a/b", R"("a\/b")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x1b[0m", R"("\u001b[0m")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xC3\xA9 \xF0\x9F\x93\xB7", "\"caf\xC3\xA9 \xF0\x9F\x93\xB7\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(writeOrFail(Value(c.input)), c.expected) << c.input;
    // The same rules apply to keys.
    Value object = Value::object();
    object[c.input] = 1;
    EXPECT_EQ(writeOrFail(object), "{" + c.expected + ":1}") << c.input;
    // And the output reads back to the original text.
    const auto reread = json::parse(c.expected);
    ASSERT_TRUE(reread) << c.expected;
    EXPECT_EQ(reread->get<std::string>(), c.input);
  }
}

TEST(JsonWrite, KeyOrder) {
  Value record = Value::object();
  record["b"] = 1;
  record["a0"] = 2;
  record["a/"] = 3;        // '/' sorts before '0' as a byte, after it once escaped
  record["\xEF\xBD\xA1"] = 4;      // U+FF61
  record["\xF0\x90\x80\x80"] = 5;  // U+10000: after U+FF61 in bytes, before it in UTF-16
  record["B"] = 6;
  record["nested"] = Value::array({Value{{"z", 1}, {"y", 2}}});

  EXPECT_EQ(writeOrFail(record),
            "{\"B\":6,\"a\\/\":3,\"a0\":2,\"b\":1,\"nested\":[{\"y\":2,\"z\":1}],"
            "\"\xEF\xBD\xA1\":4,\"\xF0\x90\x80\x80\":5}");
  EXPECT_EQ(writeOrFail(record, {.keyOrder = json::KeyOrder::declared}),
            "{\"b\":1,\"a0\":2,\"a\\/\":3,\"\xEF\xBD\xA1\":4,\"\xF0\x90\x80\x80\":5,\"B\":6,"
            "\"nested\":[{\"z\":1,\"y\":2}]}");

  // Parsing keeps the order of the text, so declared order survives a round trip.
  const auto parsed = json::parse(R"({"z":1,"a":{"k":2,"c":3}})");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(writeOrFail(*parsed, {.keyOrder = json::KeyOrder::declared}),
            R"({"z":1,"a":{"k":2,"c":3}})");
}

TEST(JsonWrite, Numbers) {
  EXPECT_EQ(writeOrFail(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(writeOrFail(Value(std::numeric_limits<std::int64_t>::max())), "9223372036854775807");
  EXPECT_EQ(writeOrFail(Value(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");

  struct Case {
    double input;
    const char* expected;
  };
  const Case cases[] = {
      {300.0, "300"},
      {-0.0, "0"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e14, "100000000000000"},
      {999999999999999.0, "999999999999999"},
      {-999999999999999.0, "-999999999999999"},
      {1e15, "1e+15"},
      {1e21, "1e+21"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& c : cases) EXPECT_EQ(writeOrFail(Value(c.input)), c.expected) << c.input;
}

TEST(JsonWrite, DoublesReadBackBitForBit) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> moderate(-1e6, 1e6);
  for (int i = 0; i < 20000; ++i) {
    // Alternate arbitrary bit patterns (all magnitudes) with everyday values.
    double d = i % 2 ? std::bit_cast<double>(random()) : moderate(random);
    if (i % 4 == 2) d = std::round(d);
    if (!std::isfinite(d) || d == 0) continue;  // -0.0 is written as "0" by design
    const auto text = json::write(Value::array({d}));
    ASSERT_TRUE(text) << d;
    const auto reread = json::parse(*text);
    ASSERT_TRUE(reread) << *text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>((*reread)[0].get<double>()), std::bit_cast<std::uint64_t>(d))
        << *text;
  }
}

TEST(JsonWrite, NonFiniteNumbersFail) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(json::write(Value(nan)));
  EXPECT_FALSE(json::write(Value(inf)));
  EXPECT_FALSE(json::write(Value(-inf)));
  Value nested = {{"a", 1}, {"list", Value::array({1, "x", Value::array({2.0, nan})})}};
  EXPECT_FALSE(json::write(nested));
  EXPECT_FALSE(json::write(nested, {.keyOrder = json::KeyOrder::declared}));
}

TEST(JsonWrite, InvalidUtf8) {
  const json::WriteOptions replace{.invalidUtf8 = json::InvalidUtf8::replace};
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string input;
    std::string replaced;
  };
  // Each maximal invalid subsequence becomes one U+FFFD.
  const Case cases[] = {
      {"\xFF", fffd},
      {"a\x80z", "a" + fffd + "z"},
      {"\xC0\xAF", fffd + fffd},                         // overlong '/'
      {"\xE0\x80\x80", fffd + fffd + fffd},              // overlong, E0 needs A0..BF
      {"\xED\xA0\x80", fffd + fffd + fffd},              // UTF-16 surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},   // above U+10FFFF
      {"\xF0\x9F\x93", fffd},                            // truncated at the end
      {"\xE2\x82x\xE2\x82\xAC", fffd + "x\xE2\x82\xAC"}, // truncated, then a valid euro sign
      {"\xF5\xC1", fffd + fffd},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(json::write(Value(c.input))) << c.input;
    EXPECT_EQ(writeOrFail(Value(c.input), replace), "\"" + c.replaced + "\"") << c.input;
    Value object = {{c.input, c.input}};
    EXPECT_FALSE(json::write(object)) << c.input;
    EXPECT_EQ(writeOrFail(object, replace), "{\"" + c.replaced + "\":\"" + c.replaced + "\"}");
  }
  // Only the string itself is checked, anywhere in the tree.
  Value deep = {{"ok", "fine"}, {"list", Value::array({Value{{"k\xFF", 1}}})}};
  EXPECT_FALSE(json::write(deep));
  EXPECT_EQ(writeOrFail(deep, replace), "{\"list\":[{\"k" + fffd + "\":1}],\"ok\":\"fine\"}");
}

TEST(JsonWrite, ByteEscapes) {
  const json::WriteOptions escape{.invalidUtf8 = json::InvalidUtf8::escape};
  struct Case {
    std::string input;
    std::string written;
  };
  // Each byte of an invalid sequence becomes its own escape; valid text is
  // written as always.
  const Case cases[] = {
      {"\xFF.jpg", R"("\udcff.jpg")"},
      {"caf\xE9.jpg", R"("caf\udce9.jpg")"},
      {"\xE2\x82x\xE2\x82\xAC", R"("\udce2\udc82x)" "\xE2\x82\xAC\""},
      {"\xC0\xAF/\"", R"("\udcc0\udcaf\/\"")"},
      {"\xED\xA0\x80", R"("\udced\udca0\udc80")"},
      {"plain \xC3\xA9", "\"plain \xC3\xA9\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(writeOrFail(Value(c.input), escape), c.written) << c.input;
    EXPECT_EQ(writeOrFail(Value{{c.input, 1}}, escape), "{" + c.written + ":1}") << c.input;
  }
}

TEST(JsonParse, ByteEscapesRoundTrip) {
  const json::WriteOptions escape{.invalidUtf8 = json::InvalidUtf8::escape};
  const json::ParseOptions bytes{.byteEscapes = true};
  // Names that differ in one byte stay different, and each comes back as
  // the bytes it was, also next to text that looks like the escape, the
  // marker character used while parsing, and real surrogate pairs.
  const std::string names[] = {
      "\xFF.jpg", "\xFE.jpg", "\xEF\xBF\xBD.jpg", "caf\xE9", "caf\xC3\xA9",
      "\xEF\xB7\x90", "\xEF\xB7\x90\xEF\xB7\x90\xC2\x80", "\xEF\xB7\x90\xFF", "\\udcff",
      "\xF0\x9F\x92\x80\xDC", std::string("a\x80\x80\x80z"), "\xC3",
  };
  std::vector<std::string> written;
  for (const auto& name : names) {
    const Value document = {{"path", name}, {name, Value::array({name})}};
    const std::string text = writeOrFail(document, escape);
    for (const auto& other : written) EXPECT_NE(text, other);
    written.push_back(text);
    const auto parsed = json::parse(text, bytes);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ((*parsed)["path"].get<std::string>(), name) << text;
    ASSERT_TRUE(parsed->contains(name)) << text;
    EXPECT_EQ((*parsed)[name][0].get<std::string>(), name) << text;
  }
  // Escapes that were never bytes are refused as before; without the option
  // a byte escape is refused too.
  for (const char* text : {R"(["\ud800"])", R"(["\udc7f"])", R"(["\udd00"])", R"(["\ud800\u0041"])"}) {
    EXPECT_FALSE(json::parse(text, bytes)) << text;
    EXPECT_FALSE(json::describeParseFailure(text, bytes).empty()) << text;
  }
  EXPECT_FALSE(json::parse(R"(["\udcff"])"));
  EXPECT_EQ(json::parse(R"(["\uD83D\uDC80", "\uFDD0\u00e9"])", bytes)->dump(),
            "[\"\xF0\x9F\x92\x80\",\"\xEF\xB7\x90\xC3\xA9\"]");
  EXPECT_EQ(json::describeParseFailure(R"({"a":"\udcff"})", bytes), "");
  EXPECT_NE(json::describeParseFailure(R"({"a":"\udcff"})"), "");
}

TEST(JsonWrite, DeepValueBuiltInCode) {
  constexpr int depth = 100000;
  Value root = Value::array();
  Value* current = &root;
  for (int i = 1; i < depth; ++i) {
    current->push_back(Value::object());
    current = &current->back();
    (*current)["k"] = Value::array();
    current = &(*current)["k"];
  }
  std::string expected = "[";
  for (int i = 1; i < depth; ++i) expected += R"({"k":[)";
  for (int i = 1; i < depth; ++i) expected += "]}";
  expected += "]";
  EXPECT_TRUE(json::write(root) == expected);  // no 800 kB diff on failure
}

TEST(JsonParse, RejectsMalformedText) {
  const char* bad[] = {
      "",      "   ",  "{} x",   "[1]]",          "1 2",
      "[1,]",  "[01]", "[NaN]",  "[1e400]",       "{'a':1}",
      "\"tab\tinside\"",        "\"\\ud800\"",  // raw control character, lone surrogate
      "[1] // comment",
  };
  for (const char* text : bad) EXPECT_FALSE(json::parse(text)) << text;
  EXPECT_FALSE(json::parse(std::string("[1]\0", 4)));
  EXPECT_FALSE(json::parse(std::string("[1]\0garbage", 11)));
  EXPECT_FALSE(json::parse(std::string("[\"a\0\"]", 6)));
  EXPECT_FALSE(json::parse("[\"\xC3\"]"));
  EXPECT_FALSE(json::parse("{\"\xED\xA0\x80\":1}"));

  // Every proper prefix of a document is truncated, hence invalid.
  const std::string document = R"({"a":[1,-2.5e3,"x\"y",{"b":null}],"c":true})";
  ASSERT_TRUE(json::parse(document));
  for (std::size_t n = 0; n < document.size(); ++n) {
    EXPECT_FALSE(json::parse(document.substr(0, n))) << document.substr(0, n);
  }
}

TEST(JsonParse, TopLevelAndDuplicates) {
  const json::ParseOptions container{.requireContainer = true};
  for (const char* scalar : {"1", "\"s\"", "null", "true"}) {
    EXPECT_TRUE(json::parse(scalar)) << scalar;
    EXPECT_FALSE(json::parse(scalar, container)) << scalar;
  }
  EXPECT_TRUE(json::parse(" [] ", container));
  EXPECT_TRUE(json::parse("{}", container));

  const auto duplicate = json::parse(R"({"a":1,"a":2})");
  ASSERT_TRUE(duplicate);
  EXPECT_EQ(writeOrFail(*duplicate), R"({"a":2})");
}

TEST(JsonParse, NestingLimit) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_TRUE(json::parse(nested(512)));
  EXPECT_FALSE(json::parse(nested(513)));
  EXPECT_FALSE(json::parse(nested(100000)));
  EXPECT_FALSE(json::parse(std::string(1000000, '[')));
  EXPECT_FALSE(json::parse(std::string(1000000, '{')));

  const json::ParseOptions shallow{.maxDepth = 2};
  EXPECT_TRUE(json::parse(R"({"a":[1],"b":{"c":2}})", shallow));
  EXPECT_FALSE(json::parse(R"({"a":[[1]]})", shallow));
  EXPECT_FALSE(json::parse(R"([{"a":{}}])", shallow));
  // Brackets in strings, including after escaped quotes, are text.
  EXPECT_TRUE(json::parse(R"(["[[[{{{", "\"[[[", "\\"])", shallow));
  EXPECT_TRUE(json::parse("7", {.maxDepth = 0}));
  EXPECT_FALSE(json::parse("[]", {.maxDepth = 0}));
}

}  // namespace
