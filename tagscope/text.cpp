#include "text.h"

#include <cstdint>

namespace tagscope {
namespace {

// Length of the white-space character that starts at `i`, or 0.
std::size_t spaceAt(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && i + 1 < s.size() && (byte(i + 1) == 0x85 || byte(i + 1) == 0xA0)) return 2;
  if (i + 2 >= s.size()) return 0;
  unsigned c1 = byte(i + 1), c2 = byte(i + 2);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;                  // U+1680
  if (c == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
    return 3;                                                            // U+2000..200A, 2028, 2029, 202F
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;                  // U+205F
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;                  // U+3000
  return 0;
}

// Length of the white-space character that ends just before `end`, or 0.
std::size_t spaceBefore(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    if (spaceAt(s, end - len) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view trimText(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end) {
    std::size_t n = spaceAt(text.substr(0, end), begin);
    if (n == 0) break;
    begin += n;
  }
  while (end > begin) {
    std::size_t n = spaceBefore(text.substr(begin, end - begin), end - begin);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
    else return false;
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

std::string firstCharacters(std::string_view text, std::size_t limit) {
  std::size_t i = 0, count = 0;
  while (i < text.size() && count < limit) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    ++count;
  }
  return std::string(text.substr(0, i));
}

std::optional<std::string> cleanText(std::string_view text) {
  std::string_view trimmed = trimText(text);
  if (trimmed.empty()) return std::nullopt;
  return firstCharacters(trimmed, maxTextCharacters);
}

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace tagscope
