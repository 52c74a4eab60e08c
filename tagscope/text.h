// Text helpers shared by the readers: trimming, UTF-8 checks and caps.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tagscope {

// Removes white space and line breaks (ASCII and the Unicode space and
// line-separator characters) from both ends.
std::string_view trimText(std::string_view text);

bool isValidUtf8(std::string_view text);

// The first `limit` characters (code points) of valid UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t limit);

// Trimmed, not empty, at most 200 characters; nothing otherwise.
std::optional<std::string> cleanText(std::string_view text);

// ASCII letters in lower case; other bytes unchanged.
std::string lowerCase(std::string_view text);

inline constexpr std::size_t maxTextCharacters = 200;

}  // namespace tagscope
