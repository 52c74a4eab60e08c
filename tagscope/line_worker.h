// The line loop: one path per input line, one JSON row per path.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace tagscope {

// The compact JSON line (with its line feed) for one input line, or nothing
// when the line is blank or its row cannot be written.
std::optional<std::string> answerLine(std::string_view line);

// Reads `input` to its end and writes each answer to the descriptor `output`
// as soon as it is done.
void runLineWorker(std::FILE* input, int output);

}  // namespace tagscope
