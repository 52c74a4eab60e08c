// The program as the host starts it: arguments, streams, exit status, and
// what a killed process leaves behind.

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const std::string program = ORVAN_BIN_DIR "/treeclerk";

struct Child {
  pid_t pid = -1;
  int input = -1;   // the child's standard input
  int output = -1;  // its standard output
  int error = -1;   // its standard error
};

Child start(const std::vector<std::string>& arguments) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[1], out[0], err[0], in[0], out[1], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  Child run;
  EXPECT_EQ(posix_spawn(&run.pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  run.input = in[1];
  run.output = out[0];
  run.error = err[0];
  return run;
}

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  return text;
}

struct Finished {
  int status;
  std::string out;
  std::string err;
};

Finished finish(Child run, const std::string& input = "") {
  if (!input.empty()) {
    EXPECT_EQ(::write(run.input, input.data(), input.size()), ssize_t(input.size()));
  }
  ::close(run.input);
  Finished done;
  done.out = drain(run.output);
  done.err = drain(run.error);
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  done.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return done;
}

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/treeclerk-process-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }
  std::string root;
};

TEST_F(Process, StreamsAndStatus) {
  Finished none = finish(start({}));
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, R"({"code":"EINVAL","message":"treeclerk: brak żądania JSON"})");

  Finished exists = finish(start({R"({"op":"exists","path":"/"})", "ignored"}));
  EXPECT_EQ(exists.status, 0);
  EXPECT_EQ(exists.out, "true");
  EXPECT_EQ(exists.err, "");

  const std::string file = root + "/data";
  Finished written = finish(start({R"({"op":"write","path":")" + file + "\"}"}), "from standard input");
  EXPECT_EQ(written.out, "true");
  EXPECT_EQ(contents(file), "from standard input");
  Finished read = finish(start({R"({"op":"read","path":")" + file + R"(","offset":5})"}));
  EXPECT_EQ(read.out, "standard input");
}

TEST_F(Process, KilledWriterLeavesTheOldFile) {
  const std::string file = root + "/doc";
  std::ofstream(file) << "old";
  Child run = start({R"({"op":"write","path":")" + file + "\"}"});
  const std::string part(1 << 16, 'n');
  ASSERT_EQ(::write(run.input, part.data(), part.size()), ssize_t(part.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(run.pid, SIGKILL);
  finish(run);
  EXPECT_EQ(contents(file), "old");
  EXPECT_EQ(std::system(("test $(ls -A '" + root + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(Process, KilledCopyLeavesNoPartialDestination) {
  // A large sparse source copies quickly but not instantly.
  const std::string source = root + "/big";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::ftruncate(fd, 768ll << 20), 0);
  ::close(fd);
  const std::string destination = root + "/copy";
  for (const bool oldFile : {false, true}) {
    if (oldFile) std::ofstream(destination) << "old";
    Child run = start({R"({"op":"copy-hash","path":")" + source + R"(","to":")" + destination + "\"}"});
    std::this_thread::sleep_for(std::chrono::milliseconds(oldFile ? 150 : 40));
    ::kill(run.pid, SIGKILL);
    const Finished done = finish(run);
    struct stat info;
    if (::stat(destination.c_str(), &info) == 0) {
      // Either the copy finished before the kill, or the old file is intact.
      EXPECT_TRUE(info.st_size == (768ll << 20) || contents(destination) == "old") << info.st_size;
      if (!oldFile) {
        EXPECT_EQ(done.status, 0);
      }
    }
    ::unlink((destination + ".partial").c_str());
  }
}

}  // namespace
