// Helpers shared by the files library's sources.
#pragma once

#include <cstddef>

namespace files {

// Writes all of data, resuming after short writes and interruptions; false
// with errno set.
bool writeAll(int fd, const char* data, std::size_t size);

// Set by tests: every StagedFile takes the named fallback.
extern bool namedTemporariesOnly;

}  // namespace files
