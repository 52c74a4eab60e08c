#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace json {

namespace {

// Deepest container nesting in `text`, stopping as soon as it passes
// `maxDepth`. Brackets inside strings do not count. Malformed text may be
// miscounted, but the parser rejects it anyway; for well-formed text the
// count is exact, so the parser never sees nesting beyond the limit.
bool nestingWithin(std::string_view text, std::size_t maxDepth) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > maxDepth) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

// Length of the UTF-8 sequence starting at s[0] when it is well formed
// (`valid` set), otherwise the length of its maximal invalid subpart, which
// is what one U+FFFD replaces. n must be at least 1.
std::size_t sequenceLength(const unsigned char* s, std::size_t n, bool& valid) {
  const unsigned char lead = s[0];
  valid = true;
  if (lead < 0x80) return 1;

  std::size_t length;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    valid = false;  // continuation byte, C0, C1 or F5..FF
    return 1;
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (i >= n || s[i] < low || s[i] > high) {
      valid = false;
      return i;
    }
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Copies `text` with each invalid UTF-8 subsequence replaced by U+FFFD, or
// fails under InvalidUtf8::fail.
bool appendValidUtf8(std::string& out, std::string_view text, InvalidUtf8 mode) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    bool valid;
    const std::size_t length = sequenceLength(s + i, n - i, valid);
    if (valid) {
      out.append(text.data() + i, length);
    } else if (mode == InvalidUtf8::replace) {
      out += replacementCharacter;
    } else {
      return false;
    }
    i += length;
  }
  return true;
}

// Appends `text`, already valid UTF-8, escaped for the inside of a JSON
// string.
void appendStringBody(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += hex[byte >> 4];
          out += hex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
}

// Appends `text`, already valid UTF-8, as a quoted JSON string.
void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  appendStringBody(out, text);
  out += '"';
}

// Appends `text` as a quoted JSON string with each byte of an invalid
// sequence written as the lone surrogate escape \udcXX.
void appendQuotedEscapingBytes(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  out += '"';
  std::size_t validFrom = 0;
  for (std::size_t i = 0; i < text.size();) {
    bool valid;
    const std::size_t length = sequenceLength(s + i, text.size() - i, valid);
    if (!valid) {
      appendStringBody(out, text.substr(validFrom, i - validFrom));
      for (std::size_t k = i; k < i + length; ++k) {
        out += "\\udc";
        out += hex[s[k] >> 4];
        out += hex[s[k] & 0xF];
      }
      validFrom = i + length;
    }
    i += length;
  }
  appendStringBody(out, text.substr(validFrom));
  out += '"';
}

template <typename Number>
void appendNumber(std::string& out, Number number) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, result.ptr);
}

bool appendDouble(std::string& out, double number) {
  if (!std::isfinite(number)) return false;
  // Integral values of moderate size read better without an exponent
  // (1e14 would otherwise be "1e+14"); -0.0 is written as "0".
  if (std::fabs(number) < 1e15 && std::trunc(number) == number) {
    appendNumber(out, static_cast<std::int64_t>(number));
  } else {
    // Shortest round-tripping form; always valid JSON for finite values.
    appendNumber(out, number);
  }
  return true;
}

struct Member {
  std::string key;  // valid UTF-8 (raw bytes under InvalidUtf8::escape), not yet escaped
  const Value* value;
};

// A container being written: its members (objects) or the array itself.
struct Frame {
  const Value* array = nullptr;
  std::vector<Member> members;
  std::size_t next = 0;
};

class Writer {
 public:
  explicit Writer(const WriteOptions& options) : options_(options) {}

  // Iterative: the nesting depth of `value` costs heap, never stack.
  bool write(const Value& root) {
    if (!begin(root)) return false;
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const bool isObject = frame.array == nullptr;
      const std::size_t count = isObject ? frame.members.size() : frame.array->size();
      if (frame.next == count) {
        out_ += isObject ? '}' : ']';
        stack_.pop_back();
        continue;
      }
      if (frame.next > 0) out_ += ',';
      const std::size_t index = frame.next++;
      const Value* child;
      if (isObject) {
        appendKey(frame.members[index].key);
        out_ += ':';
        child = frame.members[index].value;
      } else {
        child = &(*frame.array)[index];
      }
      // May push a frame, so `frame` is not used after this.
      if (!begin(*child)) return false;
    }
    return true;
  }

  std::string take() { return std::move(out_); }

 private:
  // Writes a scalar completely, or opens a container and pushes its frame.
  bool begin(const Value& value) {
    switch (value.type()) {
      case Value::value_t::null:
        out_ += "null";
        return true;
      case Value::value_t::boolean:
        out_ += value.get<bool>() ? "true" : "false";
        return true;
      case Value::value_t::number_integer:
        appendNumber(out_, value.get<std::int64_t>());
        return true;
      case Value::value_t::number_unsigned:
        appendNumber(out_, value.get<std::uint64_t>());
        return true;
      case Value::value_t::number_float:
        return appendDouble(out_, value.get<double>());
      case Value::value_t::string: {
        if (options_.invalidUtf8 == InvalidUtf8::escape) {
          appendQuotedEscapingBytes(out_, value.get_ref<const std::string&>());
          return true;
        }
        scratch_.clear();
        if (!appendValidUtf8(scratch_, value.get_ref<const std::string&>(), options_.invalidUtf8)) {
          return false;
        }
        appendQuoted(out_, scratch_);
        return true;
      }
      case Value::value_t::array: {
        out_ += '[';
        Frame frame;
        frame.array = &value;
        stack_.push_back(std::move(frame));
        return true;
      }
      case Value::value_t::object: {
        out_ += '{';
        Frame frame;
        const auto& object = value.get_ref<const Value::object_t&>();
        frame.members.reserve(object.size());
        for (const auto& [key, member] : object) {
          if (options_.invalidUtf8 == InvalidUtf8::escape) {
            frame.members.push_back({key, &member});
            continue;
          }
          std::string valid;
          if (!appendValidUtf8(valid, key, options_.invalidUtf8)) return false;
          frame.members.push_back({std::move(valid), &member});
        }
        if (options_.keyOrder == KeyOrder::sorted) {
          // std::string compares chars as unsigned, i.e. by UTF-8 bytes.
          std::stable_sort(frame.members.begin(), frame.members.end(),
                           [](const Member& a, const Member& b) { return a.key < b.key; });
        }
        stack_.push_back(std::move(frame));
        return true;
      }
      case Value::value_t::binary:
      case Value::value_t::discarded:
        return false;
    }
    return false;
  }

  void appendKey(const std::string& key) {
    if (options_.invalidUtf8 == InvalidUtf8::escape) {
      appendQuotedEscapingBytes(out_, key);
    } else {
      appendQuoted(out_, key);
    }
  }

  const WriteOptions& options_;
  std::string out_;
  std::string scratch_;
  std::vector<Frame> stack_;
};


// Byte escapes on input. The standard parser refuses lone surrogate
// escapes, so before it reads the text each lone \udc80..\udcff inside a
// string is rewritten as U+FDD0 (a noncharacter, reserved for uses like
// this) followed by the escape \u00XX; a U+FDD0 already in the text is
// doubled. After the parse, markers are turned back into bytes.
constexpr std::string_view byteMarker = "\xEF\xB7\x90";
constexpr std::string_view doubledMarker = "\\ufdd0\\ufdd0";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the escape \uXXXX at text[at], or -1 when there is none.
int escapedUnit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  for (std::size_t k = 2; k < 6; ++k) {
    const int digit = hexValue(text[at + k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// The text with byte escapes marked; absent when it holds none (and no
// marker that would need doubling).
std::optional<std::string> markByteEscapes(std::string_view text) {
  if (text.find("\\u") == std::string_view::npos && text.find(byteMarker) == std::string_view::npos) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(text.size() + 32);
  bool inString = false;
  bool changed = false;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') inString = !inString;
    if (!inString || c == '"') {
      out += c;
      ++i;
      continue;
    }
    if (text.compare(i, byteMarker.size(), byteMarker) == 0) {
      out += doubledMarker;
      i += byteMarker.size();
      changed = true;
      continue;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    const int unit = escapedUnit(text, i);
    if (unit < 0) {  // another escape: it and the character it escapes
      out.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    std::size_t length = 6;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const int low = escapedUnit(text, i + 6);
      if (low >= 0xDC00 && low <= 0xDFFF) length = 12;  // a pair stands for one character
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out += "\\ufdd0\\u00";
      out.append(text.substr(i + 4, 2));
      i += 6;
      changed = true;
      continue;
    } else if (unit == 0xFDD0) {
      out += doubledMarker;
      i += 6;
      changed = true;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  if (!changed) return std::nullopt;
  return out;
}

// Turns the markers of one parsed string back: two markers are one, a
// marker before U+0080..U+00FF is that byte.
void unmarkString(std::string& text) {
  if (text.find(byteMarker) == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, byteMarker.size(), byteMarker) != 0) {
      out += text[i++];
      continue;
    }
    i += byteMarker.size();
    if (text.compare(i, byteMarker.size(), byteMarker) == 0) {
      out += byteMarker;
      i += byteMarker.size();
    } else if (i + 2 <= text.size()) {
      const auto lead = static_cast<unsigned char>(text[i]);
      const auto trail = static_cast<unsigned char>(text[i + 1]);
      out += static_cast<char>((lead & 0x03) << 6 | (trail & 0x3F));
      i += 2;
    }
  }
  text = std::move(out);
}

void unmarkValue(Value& value) {
  if (value.is_string()) {
    unmarkString(value.get_ref<std::string&>());
  } else if (value.is_array()) {
    for (auto& element : value) unmarkValue(element);
  } else if (value.is_object()) {
    bool keysMarked = false;
    for (auto& [key, member] : value.items()) {
      keysMarked = keysMarked || key.find(byteMarker) != std::string::npos;
      unmarkValue(member);
    }
    if (!keysMarked) return;
    // Two keys may now be equal; as with duplicate keys, the later wins.
    Value rebuilt = Value::object();
    for (auto& [key, member] : value.items()) {
      std::string bytes = key;
      unmarkString(bytes);
      rebuilt[bytes] = std::move(member);
    }
    value = std::move(rebuilt);
  }
}

// Records the first syntax error of a parse without building any value.
class ErrorCollector : public nlohmann::json_sax<Value> {
 public:
  std::string description;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
    description = error.what();
    return false;
  }
};

}  // namespace

std::optional<Value> parse(std::string_view text, const ParseOptions& options) {
  // Bounding the depth before parsing keeps hostile input from costing
  // memory or time in proportion to its nesting.
  if (!nestingWithin(text, options.maxDepth)) return std::nullopt;
  // A NUL byte is never valid JSON text, but nlohmann's lexer takes it for
  // the end of input, which would accept "[1]\0garbage".
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  try {
    std::optional<std::string> marked;
    if (options.byteEscapes) marked = markByteEscapes(text);
    const std::string_view input = marked ? std::string_view(*marked) : text;
    // The non-throwing parse rejects syntax errors, trailing text, invalid
    // UTF-8 and lone surrogate escapes with a discarded value.
    Value value = Value::parse(input.data(), input.data() + input.size(), nullptr,
                               /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    if (options.requireContainer && !value.is_object() && !value.is_array()) {
      return std::nullopt;
    }
    if (marked) unmarkValue(value);
    return value;
  } catch (...) {
    return std::nullopt;  // allocation failure
  }
}

std::string withReplacementCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendValidUtf8(out, text, InvalidUtf8::replace);
  return out;
}

std::string describeParseFailure(std::string_view text, const ParseOptions& options) {
  std::optional<std::string> marked;
  if (options.byteEscapes) marked = markByteEscapes(text);
  const std::string_view input = marked ? std::string_view(*marked) : text;
  ErrorCollector collector;
  try {
    Value::sax_parse(input.begin(), input.end(), &collector);
  } catch (const std::exception& error) {
    return error.what();
  }
  if (!collector.description.empty()) return collector.description;
  if (text.find('\0') != std::string_view::npos) return "JSON text contains a NUL character";
  if (!nestingWithin(text, options.maxDepth)) {
    return "JSON text is nested deeper than " + std::to_string(options.maxDepth) + " levels";
  }
  if (options.requireContainer && !parse(text, options)) return "JSON text is not an object or an array";
  return "";
}

std::optional<std::string> write(const Value& value, const WriteOptions& options) {
  Writer writer(options);
  if (!writer.write(value)) return std::nullopt;
  return writer.take();
}

}  // namespace json
