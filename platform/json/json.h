// Compact JSON for every program: parsing on nlohmann-json, and one writer
// with sorted or declared key order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace json {

// A JSON value. Objects keep their keys in insertion order, so a record can
// be written in its declared order; the writer can also sort them.
using Value = nlohmann::ordered_json;

struct ParseOptions {
  // Accept only an object or an array at the top level.
  bool requireContainer = false;
  // Deeper nesting than this fails the parse (guards against hostile input).
  std::size_t maxDepth = 512;
  // Take each lone escape \udc80 to \udcff inside a string for the byte
  // 0x80 to 0xff: the reverse of InvalidUtf8::escape, so that text holding
  // bytes that are not UTF-8 (a file name, say) comes back as those bytes.
  bool byteEscapes = false;
};

// Parses UTF-8 JSON text. Absent on any syntax error, trailing garbage,
// invalid UTF-8, excessive depth, or (when asked) a scalar at the top level.
std::optional<Value> parse(std::string_view text, const ParseOptions& options = {});

// Why parse(text, options) gives nothing: the parser's description of the
// first error, found without building any value; empty when the text parses.
std::string describeParseFailure(std::string_view text, const ParseOptions& options = {});

enum class KeyOrder {
  sorted,    // keys ordered by their UTF-8 bytes (equals code point order)
  declared,  // keys in the order they were inserted
};

enum class InvalidUtf8 {
  fail,     // encoding fails
  replace,  // each bad sequence becomes U+FFFD
  // Each byte of a bad sequence becomes a lone surrogate escape \udcXX
  // (XX its value, 80 to ff): reversible, and a JavaScript reader keeps it
  // as it is. Valid UTF-8 never produces such an escape, so two different
  // byte strings never come out equal. parse() with byteEscapes reads it
  // back.
  escape,
};

struct WriteOptions {
  KeyOrder keyOrder = KeyOrder::sorted;
  InvalidUtf8 invalidUtf8 = InvalidUtf8::fail;
};

// The text with each invalid UTF-8 sequence replaced by U+FFFD, as the
// writer's InvalidUtf8::replace does.
std::string withReplacementCharacters(std::string_view text);

// Writes compact JSON: no white space, "/" escaped as "\/", control
// characters as \uXXXX, other non-ASCII text as UTF-8. Integers are written
// exactly; reals in the shortest form that reads back to the same double.
// Absent when a number is not finite (or on invalid UTF-8 with `fail`).
// The writer does not recurse, so values nested arbitrarily deep in code are fine.
std::optional<std::string> write(const Value& value, const WriteOptions& options = {});

}  // namespace json
