#include "files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Each test works in its own fresh directory under /tmp.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/files_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr) << std::strerror(errno);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  static void put(const std::string& file, const std::string& contents) {
    ASSERT_TRUE(files::writeFileAtomically(file, contents.data(), contents.size()));
  }

  static std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

using Names = std::vector<std::string>;

TEST(FilesPath, ParentAndLastComponent) {
  struct Case {
    const char* path;
    const char* parent;
    const char* last;
  };
  const Case cases[] = {
      {"a/b/c.png", "a/b", "c.png"},
      {"c.png", ".", "c.png"},
      {"/x", "/", "x"},
      {"/x/", "/", "x"},
      {"a/b//", "a", "b"},
      {"a//b", "a", "b"},
      {"//x", "/", "x"},
      {"/", "/", "/"},
      {"///", "/", "/"},
      {".hidden", ".", ".hidden"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(files::parentDirectory(c.path), c.parent) << c.path;
    EXPECT_EQ(files::lastComponent(c.path), c.last) << c.path;
  }
}

TEST_F(FilesTest, CreateDirectories) {
  const std::string nested = path("a/b//c/");
  ASSERT_TRUE(files::createDirectories(nested)) << files::createDirectories(nested).description;
  EXPECT_TRUE(fs::is_directory(path("a/b/c")));
  EXPECT_TRUE(files::createDirectories(nested));  // already there
  EXPECT_TRUE(files::createDirectories(path("a")));

  // Through a symbolic link to a directory, like mkdir -p.
  ASSERT_EQ(::symlink(path("a").c_str(), path("link").c_str()), 0);
  EXPECT_TRUE(files::createDirectories(path("link/d")));
  EXPECT_TRUE(fs::is_directory(path("a/d")));

  put(path("file"), "x");
  const auto onFile = files::createDirectories(path("file"));
  EXPECT_FALSE(onFile);
  EXPECT_EQ(onFile.description,
            "Cannot create directory " + path("file") + ": " + std::strerror(EEXIST));
  const auto belowFile = files::createDirectories(path("file/sub/deeper"));
  EXPECT_FALSE(belowFile);
  EXPECT_EQ(belowFile.description,
            "Cannot create directory " + path("file/sub/deeper") + ": " + std::strerror(ENOTDIR));
  EXPECT_FALSE(files::createDirectories(""));
}

TEST_F(FilesTest, WriteReplacesWholeFileAndLeavesNoTemporary) {
  const std::string target = path("photo.json");
  put(target, std::string(100000, 'o'));  // longer than what replaces it
  const std::string replacement("new\0contents", 12);
  ASSERT_TRUE(files::writeFileAtomically(target, replacement.data(), replacement.size()));

  std::string read;
  ASSERT_TRUE(files::readFile(target, read));
  EXPECT_EQ(read, replacement);
  EXPECT_EQ(entries(dir_), Names{"photo.json"});

  // The file gets the mode a plain create would give it, not mkstemp's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);

  // Empty contents, and a path relative to the working directory.
  EXPECT_TRUE(files::writeFileAtomically(target, nullptr, 0));
  ASSERT_TRUE(files::readFile(target, read));
  EXPECT_EQ(read, "");
  const std::string previous = fs::current_path();
  fs::current_path(dir_);
  put("relative", "r");
  fs::current_path(previous);
  ASSERT_TRUE(files::readFile(path("relative"), read));
  EXPECT_EQ(read, "r");
  EXPECT_EQ(entries(dir_), (Names{"photo.json", "relative"}));
}

TEST_F(FilesTest, FailedWritesLeaveNoTrace) {
  put(path("plain"), "old");
  ASSERT_TRUE(files::createDirectories(path("folder")));

  const auto check = [&](const std::string& target) {
    const auto status = files::writeFileAtomically(target, "data", 4);
    EXPECT_FALSE(status) << target;
    EXPECT_EQ(status.description.rfind("Cannot write " + target + ": ", 0), 0u) << status.description;
    EXPECT_EQ(entries(dir_), (Names{"folder", "plain"})) << target;
  };
  check(path("plain/child"));    // parent is a regular file
  check(path("missing/child"));  // parent does not exist
  check(path("folder"));         // target is a directory
  check(path("folder/"));
  EXPECT_TRUE(fs::is_empty(path("folder")));
  EXPECT_EQ(files::writeFileAtomically(path("folder"), "x", 1).description,
            "Cannot write " + path("folder") + ": " + std::strerror(EISDIR));
}

TEST_F(FilesTest, FailureWhileWritingKeepsTheOldFile) {
  // A file size limit makes the kernel accept part of the data (a short
  // write) and then refuse the rest, as a full disk would.
  const std::string target = path("sidecar");
  put(target, "old contents");
  const std::string data(64 * 1024, 'n');

  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const auto status = files::writeFileAtomically(target, data.data(), data.size());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_FALSE(status);
  EXPECT_EQ(status.description, "Cannot write " + target + ": " + std::strerror(EFBIG));
  std::string read;
  ASSERT_TRUE(files::readFile(target, read));
  EXPECT_EQ(read, "old contents");
  EXPECT_EQ(entries(dir_), Names{"sidecar"});
}

TEST_F(FilesTest, ReadFile) {
  std::string out = "untouched";
  EXPECT_FALSE(files::readFile(dir_, out));
  EXPECT_FALSE(files::readFile(path("missing"), out));
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(files::readFile(path("fifo"), out));  // and does not block
  EXPECT_EQ(out, "untouched");

  // Files whose st_size is 0 although they have contents.
  if (files::exists("/proc/self/status")) {
    ASSERT_TRUE(files::readFile("/proc/self/status", out));
    EXPECT_NE(out.find("Pid:"), std::string::npos);
  }
}

TEST_F(FilesTest, ExistsRemoveMove) {
  const std::string from = path("a");
  const std::string to = path("b");
  put(from, "contents");
  EXPECT_TRUE(files::exists(from));
  ASSERT_TRUE(files::moveFile(from, to));
  EXPECT_FALSE(files::exists(from));
  std::string read;
  ASSERT_TRUE(files::readFile(to, read));
  EXPECT_EQ(read, "contents");

  const auto missing = files::moveFile(from, to);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.description, "Cannot move " + from + " to " + to + ": " + std::strerror(ENOENT));

  ASSERT_TRUE(files::removeFile(to));
  EXPECT_FALSE(files::exists(to));
  EXPECT_EQ(files::removeFile(to).description, "Cannot remove " + to + ": " + std::strerror(ENOENT));

  // A dangling symbolic link exists as itself.
  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  EXPECT_TRUE(files::exists(path("dangling")));
}

}  // namespace
