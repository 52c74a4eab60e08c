// Runs albumgate and photolib against a library of its own in a temporary
// XDG_DATA_HOME, and makes the image files the tests import.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"

namespace harness {

struct Finished {
  int status = -1;
  std::string out;
  std::string err;
};

Finished run(const std::string& program, const std::vector<std::string>& arguments);
Finished albumgate(const std::vector<std::string>& arguments);
// Runs photolib and returns its output lines; the test fails when it fails.
std::vector<std::string> photolib(const std::vector<std::string>& arguments);
// The JSON document of a successful albumgate run (the test fails otherwise).
json::Value albumgateJson(const std::vector<std::string>& arguments, int expectedStatus = 0);

// A JPEG of the given size with a flat colour.
void writeJpeg(const std::string& path, int width, int height, unsigned char shade = 128);
std::string contents(const std::string& path);
// Entries of a directory (names), sorted.
std::vector<std::string> listDirectory(const std::string& path);

extern const char accessMessage[];

class Library : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Adds a JPEG to the library and returns the new identifier.
  std::string addPhoto(const std::string& name, const std::vector<std::string>& options = {}, int width = 8,
                       int height = 6);
  std::string createAlbum(const std::string& title);
  void addToAlbum(const std::string& album, const std::vector<std::string>& assets);
  std::string libraryDirectory() const;

  std::string root;     // the test's own directory
  std::string sources;  // image files to add
};

}  // namespace harness
