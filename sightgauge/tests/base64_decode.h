// Decoding the base64 fields of sightgauge's answers in tests.
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> unbase64(const std::string& text) {
  gsize length = 0;
  guchar* bytes = g_base64_decode(text.c_str(), &length);
  std::vector<std::uint8_t> out(bytes, bytes + length);
  g_free(bytes);
  return out;
}
