// Standard base64 (RFC 4648, with padding) for tool input and output.
#include <array>

#include "keywarden.h"

namespace keywarden {
namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::array<int8_t, 256> decodingTable() {
  std::array<int8_t, 256> table;
  table.fill(-1);
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += alphabet[(group >> shift) & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t(uint8_t(bytes[i])) << 16 | (rest == 2 ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0);
    text += alphabet[(group >> 18) & 63];
    text += alphabet[(group >> 12) & 63];
    text += rest == 2 ? alphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
  static const std::array<int8_t, 256> table = decodingTable();
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int padding = 0;
    if (last && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;
    uint32_t group = 0;
    for (int k = 0; k < 4; ++k) {
      int value = k >= 4 - padding ? 0 : table[static_cast<unsigned char>(text[i + k])];
      if (value < 0) return std::nullopt;
      group = group << 6 | uint32_t(value);
    }
    bytes += char(group >> 16);
    if (padding < 2) bytes += char(group >> 8 & 0xFF);
    if (padding < 1) bytes += char(group & 0xFF);
  }
  return bytes;
}

}  // namespace keywarden
