// A fresh library directory per test, and test pictures.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "photos.h"

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The library directory inside the scratch directory.
  std::string libraryDirectory() const { return root + "/library"; }
  std::string path(const std::string& name) const { return root + "/" + name; }
  // Opens the library as the management command does (access state ignored)
  // or as an application sees it.
  std::unique_ptr<photos::Library> openForOwner() const;
  std::unique_ptr<photos::Library> openForApplication() const;

  // Writes a grey JPEG of the given stored size, recording an EXIF
  // orientation when it is not 1.
  std::string writeJpeg(const std::string& name, int width, int height, int orientation = 1);
  // Adds one photo in its own transaction; returns its identifier.
  std::string addPhoto(photos::Library& library, const std::string& file,
                       std::optional<photos::Date> creationDate = std::nullopt, bool hidden = false);
  // Regular files under the library's originals and incoming folders.
  std::vector<std::string> storedFiles() const;

  std::string root;
};

photos::Date dateAt(std::int64_t seconds);
photos::FetchOptions withHidden();
std::vector<std::string> identifiersOf(const std::vector<photos::Asset>& assets);
std::string readWhole(const std::string& path);
void writeWhole(const std::string& path, const std::string& data);
