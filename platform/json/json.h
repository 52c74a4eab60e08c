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
};

// Parses UTF-8 JSON text. Absent on any syntax error, trailing garbage,
// invalid UTF-8, excessive depth, or (when asked) a scalar at the top level.
std::optional<Value> parse(std::string_view text, const ParseOptions& options = {});

enum class KeyOrder {
  sorted,    // keys ordered by their UTF-8 bytes (equals code point order)
  declared,  // keys in the order they were inserted
};

enum class InvalidUtf8 {
  fail,     // encoding fails
  replace,  // each bad sequence becomes U+FFFD
};

struct WriteOptions {
  KeyOrder keyOrder = KeyOrder::sorted;
  InvalidUtf8 invalidUtf8 = InvalidUtf8::fail;
};

// Writes compact JSON: no white space, "/" escaped as "\/", control
// characters as \uXXXX, other non-ASCII text as UTF-8. Integers are written
// exactly; reals in the shortest form that reads back to the same double.
// Absent when a number is not finite (or on invalid UTF-8 with `fail`).
// The writer does not recurse, so values nested arbitrarily deep in code are fine.
std::optional<std::string> write(const Value& value, const WriteOptions& options = {});

}  // namespace json
