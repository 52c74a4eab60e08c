// What the veilpass tests that run the program share: a scratch directory,
// running the binary with its output captured, real photos from Debian
// packages, and reading pictures back with libvips.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace veilpass_test {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
  long peakKilobytes = 0;  // the program's maximum resident set size
};

inline std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

inline std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs a shell command line; its standard output as text, empty on failure.
inline std::string commandOutput(const std::string& command) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  pclose(pipe);
  return text;
}

// The path of a photo shipped in a Debian package, fetched on first use
// into the cache that the benchmarks use too; empty when it cannot be had.
inline std::string debianPhoto(const std::string& name, const std::string& package = "python3-skimage") {
  std::string path = commandOutput(quoted(std::string(ORVAN_SOURCE_DIR) + "/bench/sample-photo.sh") + " " +
                                   quoted(name) + " \"\" " + quoted(package) + " 2>/dev/null");
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

// A fresh directory per test, removed afterwards; runs veilpass in it.
class ScratchDirectory : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("veilpass_test"), 0);
    vips_cache_set_max(0);  // files are rewritten under the same names
  }
  void SetUp() override {
    char pattern[] = "/tmp/veilpass_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ + "/.run");
  }
  // VEILPASS_TEST_KEEP=1 keeps the directory to look at what a test made.
  void TearDown() override {
    if (std::getenv("VEILPASS_TEST_KEEP")) std::printf("kept %s\n", dir_.c_str());
    else fs::remove_all(dir_);
  }

  // Runs the program; `environment` ("NAME=value ...") goes before it.
  Outcome veilpass(const std::vector<std::string>& args, const std::string& environment = "") const {
    std::string command = "/usr/bin/time -f %M -o " + quoted(dir_ + "/.run/peak") + " " +
                          (environment.empty() ? "" : "env " + environment + " ") +
                          quoted(std::string(ORVAN_BIN_DIR) + "/veilpass");
    for (const auto& arg : args) command += " " + quoted(arg);
    command += " >" + quoted(dir_ + "/.run/stdout") + " 2>" + quoted(dir_ + "/.run/stderr");
    Outcome result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(dir_ + "/.run/stdout");
    result.err = slurp(dir_ + "/.run/stderr");
    result.peakKilobytes = std::atol(slurp(dir_ + "/.run/peak").c_str());
    return result;
  }

  // The names in the scratch directory, apart from the runner's own.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      if (entry.path().filename() != ".run") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

using VipsPtr = std::unique_ptr<VipsImage, decltype(&g_object_unref)>;

inline VipsPtr vipsImage(VipsImage* image) { return VipsPtr(image, &g_object_unref); }

// A picture file read whole into memory (null when it cannot be read).
inline VipsPtr loadPicture(const std::string& path) {
  return vipsImage(vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_RANDOM, nullptr));
}

// The mean absolute difference of two pictures' samples (a one-band picture
// stands for each band of the other); -1 when they cannot be compared.
inline double meanDifference(const std::string& a, const std::string& b) {
  const auto first = loadPicture(a), second = loadPicture(b);
  if (!first || !second) return -1;
  VipsImage* difference = nullptr;
  VipsImage* magnitude = nullptr;
  double mean = -1;
  if (vips_subtract(first.get(), second.get(), &difference, nullptr) == 0 &&
      vips_abs(difference, &magnitude, nullptr) == 0)
    vips_avg(magnitude, &mean, nullptr);
  if (difference) g_object_unref(difference);
  if (magnitude) g_object_unref(magnitude);
  return mean;
}

inline std::string summary(const char* method, int remaining, int source) {
  return std::string("{\"method\":\"") + method + "\",\"remainingFaceCount\":" + std::to_string(remaining) +
         ",\"sourceFaceCount\":" + std::to_string(source) + "}\n";
}

}  // namespace veilpass_test
