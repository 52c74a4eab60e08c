// Bounded line reading from a file descriptor.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "minipic.h"

namespace minipic {

bool LineReader::fill() {
  if (eof_) return false;
  if (start_ > 0) {
    std::memmove(buffer_, buffer_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  while (true) {
    const ssize_t got = read(fd_, buffer_ + end_, sizeof buffer_ - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    eof_ = true;  // end of input, or an error that ends it
    return false;
  }
}

bool LineReader::lineReady() {
  while (true) {
    if (eof_ || std::memchr(buffer_ + start_, '\n', end_ - start_)) return true;
    // A full buffer without a line feed belongs to an overlong line, which
    // may still be arriving: not ready.
    if (end_ - start_ == sizeof buffer_) return false;
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return false;
    if (!fill()) return true;  // the end of input is at hand
  }
}

LineReader::Result LineReader::next(std::string& line) {
  line.clear();
  bool tooLong = false;
  while (true) {
    const char* from = buffer_ + start_;
    const auto* newline = static_cast<const char*>(std::memchr(from, '\n', end_ - start_));
    const std::size_t take = newline ? static_cast<std::size_t>(newline - from) : end_ - start_;
    if (!tooLong) {
      if (line.size() + take > maxLineBytes + 1) {  // + 1 for a "\r" before the line feed
        tooLong = true;
        line.clear();
        line.shrink_to_fit();
      } else {
        line.append(from, take);
      }
    }
    if (newline) {
      start_ += take + 1;
      break;
    }
    start_ = end_;
    if (!fill()) {
      if (line.empty() && !tooLong) return Result::end;
      break;  // a last line without a line feed
    }
  }
  if (tooLong) return Result::tooLong;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > maxLineBytes) {
    line.clear();
    return Result::tooLong;
  }
  return Result::line;
}

}  // namespace minipic
