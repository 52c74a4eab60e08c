// Files that change while they are read: the guarded mapping, and the
// worker going on past a file shortened under it.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "jpeg_builder.h"
#include "mapped_file.h"

namespace tagscope {
namespace {

class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/tagscope-changing-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~Scratch() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

void writeBytes(int fd, const testing::Bytes& bytes, off_t at) {
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
}

TEST(GuardedRead, ShortenedFileReadsAsZerosAndIsReported) {
  Scratch scratch;
  const std::string file = scratch.path + "/shrinking";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  const testing::Bytes ones(1 << 20, 1);
  writeBytes(fd, ones, 0);

  MappedFile mapped(file);
  unsigned sum = 0;
  EXPECT_TRUE(mapped.guardedRead([&](std::span<const unsigned char> bytes) { sum = bytes[100]; }));
  EXPECT_EQ(sum, 1u);
  // Shortened in the middle of the read: the pages past the new end read as
  // zeros, and the read is reported as spoilt.
  const bool whole = mapped.guardedRead([&](std::span<const unsigned char> bytes) {
    ASSERT_EQ(::ftruncate(fd, 4096), 0);
    sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 512) sum += bytes[i];
  });
  EXPECT_FALSE(whole);
  EXPECT_EQ(sum, 8u);  // the eight samples of the first page still there
  // A later read of a file left alone is whole again.
  MappedFile again(file);
  EXPECT_TRUE(again.guardedRead([&](std::span<const unsigned char> bytes) { sum = bytes.size(); }));
  EXPECT_EQ(sum, 4096u);
  ::close(fd);
}

// A JPEG whose EXIF segment comes after 256 empty application segments of
// 64 KiB, so that reading it walks pages all over a file of 16 MiB (sparse)
// and takes long enough to be cut short in the middle.
void writeLongJpeg(int fd) {
  testing::TiffBuilder tiff(true);
  tiff.writeIfd({{0x010F, 2, 6, testing::TiffBuilder::ascii(std::string_view("Maker\0", 6))}});
  testing::Bytes head{0xFF, 0xD8};
  writeBytes(fd, head, 0);
  off_t at = 2;
  const testing::Bytes padding{0xFF, 0xEF, 0xFF, 0xFF};
  for (int i = 0; i < 256; ++i, at += 2 + 0xFFFF) writeBytes(fd, padding, at);
  testing::Bytes rest = testing::jpegWith({testing::exifSegment(tiff.out)});
  rest.erase(rest.begin(), rest.begin() + 2);
  writeBytes(fd, rest, at);
}

struct Worker {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
};

Worker startWorker() {
  int in[2], out[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  const std::string program = std::string(ORVAN_BIN_DIR) + "/tagscope";
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  Worker worker;
  EXPECT_EQ(posix_spawn(&worker.pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  worker.input = in[1];
  worker.output = out[0];
  return worker;
}

// One answer line, or empty when the worker has gone (or takes 20 s).
std::string answer(const Worker& worker) {
  std::string line;
  char c;
  pollfd ready{worker.output, POLLIN, 0};
  while (::poll(&ready, 1, 20000) == 1 && ::read(worker.output, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

TEST(LineWorker, GoesOnPastAFileShortenedWhileItIsRead) {
  Scratch scratch;
  const std::string file = scratch.path + "/growing.jpg";
  const std::string steady = scratch.path + "/steady.jpg";
  const int keep = ::open(steady.c_str(), O_RDWR | O_CREAT, 0600);
  writeLongJpeg(keep);
  ::close(keep);
  const Worker worker = startWorker();
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delay(0, 2500);
  // The file is cut short at some moment while the worker reads it; after
  // each round the worker must still answer for a file left alone.
  for (int round = 0; round < 4; ++round) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    writeLongJpeg(fd);
    const std::string line = file + "\n";
    ASSERT_EQ(::write(worker.input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ASSERT_EQ(::ftruncate(fd, 1 << 16), 0);
    ::close(fd);
    EXPECT_NE(answer(worker).find("growing.jpg"), std::string::npos) << "round " << round;
    const std::string next = steady + "\n";
    ASSERT_EQ(::write(worker.input, next.data(), next.size()), static_cast<ssize_t>(next.size()));
    ASSERT_NE(answer(worker).find("\"make\":\"Maker\""), std::string::npos) << "round " << round;
  }
  ::close(worker.input);
  int status = 0;
  ::waitpid(worker.pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(worker.output);
}

}  // namespace
}  // namespace tagscope
