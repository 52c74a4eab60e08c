// Picture files whose header claims far more than their data holds, and a
// way to run a program on them and learn its peak memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace picture_bombs {

inline std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = ~0u;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = crc >> 1 ^ (0xedb88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

inline void appendChunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
  const auto length = static_cast<std::uint32_t>(data.size());
  for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(length >> shift));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  const std::uint32_t crc = crc32(png.data() + start, png.size() - start);
  for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(crc >> shift));
}

// A PNG declaring width × height pixels of `depth` bits and `colourType`
// (2 RGB, 0 grey, 6 RGBA), Adam7 when `interlaced`, with an empty zlib
// stream as its only data (when `withData`) or no IDAT at all.
inline std::vector<std::uint8_t> pngClaiming(std::uint32_t width, std::uint32_t height, int depth, int colourType,
                                             bool interlaced, bool withData) {
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<std::uint8_t> header;
  for (const std::uint32_t side : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<std::uint8_t>(side >> shift));
  header.insert(header.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colourType), 0, 0,
                               static_cast<std::uint8_t>(interlaced ? 1 : 0)});
  appendChunk(png, "IHDR", header);
  if (withData) appendChunk(png, "IDAT", {0x78, 0x9c, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  appendChunk(png, "IEND", {});
  return png;
}

inline std::string put(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

// The 65-byte PNG claiming 30000 × 30000 RGB pixels, and a header-only
// 16-bit PNG claiming 20000 × 20000 (3.2 GB as 16-bit RGBA) with an empty
// zlib stream for data, in `dir`.
inline std::vector<std::string> bombs(const std::string& dir) {
  return {put(dir + "/claims-30000.png", pngClaiming(30000, 30000, 8, 2, false, true)),
          put(dir + "/header-only-16bit.png", pngClaiming(20000, 20000, 16, 2, false, true))};
}

struct Run {
  int status = -1;
  long peakKilobytes = 0;  // the program's largest resident set
  std::string out, err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs one of our programs (from the build's bin directory) with `input`
// on standard input.
inline Run runMeasured(const std::string& scratch, const std::string& program, std::vector<std::string> args,
                       const std::string& input = "") {
  const std::string inputPath = scratch + "/.stdin", outPath = scratch + "/.stdout", errPath = scratch + "/.stderr";
  std::ofstream(inputPath, std::ios::binary) << input;
  args.insert(args.begin(), std::string(ORVAN_BIN_DIR) + "/" + program);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(inputPath.c_str(), O_RDONLY);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Run run;
  int status = 0;
  struct rusage usage = {};
  ::wait4(pid, &status, 0, &usage);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakKilobytes = usage.ru_maxrss;
  run.out = slurp(outPath);
  run.err = slurp(errPath);
  return run;
}

}  // namespace picture_bombs
