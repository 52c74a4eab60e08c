// Runs requests in memory and gives each test a fresh scratch directory.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "treeclerk.h"

struct Answer {
  int status = 0;
  std::string out;
  std::string err;
};

// One request through treeclerk::run, with `input` as standard input.
Answer request(const std::string& text, const std::string& input = "");

// The parsed standard output of a successful request (fails the test
// otherwise); \udcXX escapes are read back as bytes.
json::Value answerJSON(const std::string& text);

// The error object of a failed request, as "CODE|message".
std::string answerError(const std::string& text);

// A JSON string literal for a path (bytes that are not UTF-8 as \udcXX).
std::string jsonText(const std::string& text);

void writeTestFile(const std::string& path, const std::string& contents);
std::string readTestFile(const std::string& path);
bool pathExists(const std::string& path);

// A scratch directory, removed afterwards; `path(name)` joins names to it.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string& name) const { return root + "/" + name; }
  std::string root;
};
