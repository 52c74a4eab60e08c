#include "files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <thread>
#include <vector>

namespace files {
extern bool namedTemporariesOnly;
}

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

// Every whole-or-nothing write runs twice: with unnamed temporaries and with
// the named fallback that file systems without O_TMPFILE get.
class StagedWriteTest : public FilesTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    files::namedTemporariesOnly = GetParam();
  }
  void TearDown() override {
    files::namedTemporariesOnly = false;
    FilesTest::TearDown();
  }
  static std::string contents(const std::string& file) {
    std::string read;
    return files::readFile(file, read) ? read : "<unreadable>";
  }
};

INSTANTIATE_TEST_SUITE_P(Temporaries, StagedWriteTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

TEST_P(StagedWriteTest, ReplacesOnlyRegularFilesAndFollowsLinks) {
  put(path("victim"), "old");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("victim", path("to-file").c_str()), 0);
  ASSERT_EQ(::symlink("to-file", path("to-link").c_str()), 0);
  ASSERT_EQ(::symlink("fifo", path("to-fifo").c_str()), 0);
  ASSERT_EQ(::symlink("created", path("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop-b", path("loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", path("loop-b").c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path("socket").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(sock);
  // A device node needs root; /dev/null's numbers make it harmless.
  const bool device = ::mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const Names before = entries(dir_);

  struct Case {
    std::string name;
    std::string error;  // empty: written
    std::string fileWritten;
  };
  const std::vector<Case> cases = {
      {"fifo", "Not a regular file", ""},
      {"socket", "Not a regular file", ""},
      {"null", "Not a regular file", ""},
      {"to-fifo", "Not a regular file", ""},
      {"loop-a", std::strerror(ELOOP), ""},
      {"to-link", "", "victim"},
      {"dangling", "", "created"},
      {"victim", "", "victim"},
  };
  for (const Case& c : cases) {
    if (c.name == "null" && !device) continue;
    const auto check = files::checkReplaceable(path(c.name));
    const auto status = files::writeFileAtomically(path(c.name), "new", 3);
    if (c.error.empty()) {
      EXPECT_TRUE(status) << c.name << ": " << status.description;
      EXPECT_EQ(contents(path(c.fileWritten)), "new") << c.name;
    } else {
      EXPECT_EQ(status.description, "Cannot write " + path(c.name) + ": " + c.error) << c.name;
    }
    EXPECT_EQ(check.description, status.description) << c.name;
  }
  struct stat info;
  ASSERT_EQ(::lstat(path("fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  ASSERT_EQ(::lstat(path("to-link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  if (device) {
    ASSERT_EQ(::lstat(path("null").c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
  Names after = before;
  after.push_back("created");
  std::sort(after.begin(), after.end());
  EXPECT_EQ(entries(dir_), after);  // nothing left beside them
}

TEST_P(StagedWriteTest, LinkPlantedAtTheTemporaryNameIsNeverWrittenThrough) {
  put(path("victim"), "precious");
  put(path("photo.png"), "old picture");
  ASSERT_EQ(::symlink(path("victim").c_str(), path(".photo.png.partial").c_str()), 0);
  const auto status = files::writeFileAtomically(path("photo.png"), "new picture", 11, ".partial");
  ASSERT_TRUE(status) << status.description;
  EXPECT_EQ(contents(path("victim")), "precious");
  EXPECT_EQ(contents(path("photo.png")), "new picture");
  struct stat info;
  ASSERT_EQ(::lstat(path("photo.png").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(entries(dir_), (Names{"photo.png", "victim"}));

  // The same for a picture written for the first time.
  ASSERT_EQ(::symlink(path("victim").c_str(), path(".first.png.partial").c_str()), 0);
  ASSERT_TRUE(files::writeFileAtomically(path("first.png"), "first", 5, ".partial"));
  EXPECT_EQ(contents(path("victim")), "precious");
  EXPECT_EQ(contents(path("first.png")), "first");
  ASSERT_TRUE(files::removeFile(path("first.png")));

  // A leftover temporary file of an earlier run is replaced, not appended to.
  put(path(".photo.png.partial"), std::string(5000, 'x'));
  ASSERT_TRUE(files::writeFileAtomically(path("photo.png"), "third", 5, ".partial"));
  EXPECT_EQ(contents(path("photo.png")), "third");
  EXPECT_EQ(entries(dir_), (Names{"photo.png", "victim"}));
}

TEST_P(StagedWriteTest, AbandonedFileLeavesNothing) {
  {
    auto file = files::StagedFile::create(dir_, "never.jpg");
    ASSERT_TRUE(file) << std::strerror(errno);
    ASSERT_TRUE(file->write("abc", 3));
  }
  EXPECT_EQ(entries(dir_), Names{});
  auto file = files::StagedFile::create(dir_, "kept.jpg");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("abc", 3));
  ASSERT_TRUE(file->place());
  EXPECT_FALSE(file->place());  // placed once only
  EXPECT_EQ(entries(dir_), Names{"kept.jpg"});
  EXPECT_FALSE(files::StagedFile::create(dir_, "a/b"));
  EXPECT_FALSE(files::StagedFile::create(path("missing"), "a"));
}

// A writer killed while it writes a large file leaves no trace: with
// unnamed temporaries for any signal, with named ones for SIGTERM and
// SIGINT (SIGKILL cannot be caught).
TEST_P(StagedWriteTest, KilledWriterLeavesNoTemporary) {
  const std::vector<int> signals =
      GetParam() ? std::vector<int>{SIGTERM, SIGINT} : std::vector<int>{SIGKILL, SIGTERM};
  for (const int signal : signals) {
    bool caught = false;
    for (int delayMs = 40; delayMs >= 1 && !caught; delayMs /= 2) {
      int ready[2];
      ASSERT_EQ(::pipe(ready), 0);
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::close(ready[0]);
        std::vector<char> data(std::size_t{64} << 20, 'p');
        (void)!::write(ready[1], "r", 1);
        const auto status = files::writeFileAtomically(path("big.jpg"), data.data(), data.size());
        ::_exit(status ? 0 : 1);
      }
      ::close(ready[1]);
      char byte;
      ASSERT_EQ(::read(ready[0], &byte, 1), 1);
      ::close(ready[0]);
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      ::kill(child, signal);
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      if (WIFSIGNALED(status) && WTERMSIG(status) == signal && !files::exists(path("big.jpg"))) caught = true;
      EXPECT_EQ(entries(dir_), files::exists(path("big.jpg")) ? Names{"big.jpg"} : Names{})
          << "signal " << signal << " after " << delayMs << " ms";
      std::error_code ignored;
      fs::remove(path("big.jpg"), ignored);
    }
    EXPECT_TRUE(caught) << "signal " << signal << " never arrived during the write";
  }
}

}  // namespace
