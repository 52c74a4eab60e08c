// The program as the host starts it: arguments, streams, exit status, and
// what a killed process leaves behind.

#include <algorithm>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "json.h"

namespace {

const std::string program = ORVAN_BIN_DIR "/treeclerk";

struct Child {
  pid_t pid = -1;
  int input = -1;   // the child's standard input
  int output = -1;  // its standard output
  int error = -1;   // its standard error
};

// Programs run as the unprivileged user "nobody" through setpriv, when the
// tests run as root.
const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                           program};

bool canRunAsNobody() { return ::geteuid() == 0 && ::access(asNobody[0].c_str(), X_OK) == 0; }

Child start(const std::vector<std::string>& arguments, const std::vector<std::string>& command = {program}) {
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
  std::vector<char*> argv;
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  Child run;
  EXPECT_EQ(posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
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

std::string writeRequest(const std::string& path, const std::string& extra = "") {
  return R"({"op":"write","path":")" + path + "\"" + extra + "}";
}

TEST_F(Process, ConcurrentAppendsAllLand) {
  const std::string file = root + "/log";
  constexpr int writers = 20;
  std::vector<Child> runs;
  for (int i = 0; i < writers; ++i) runs.push_back(start({writeRequest(file, R"(,"append":true)")}));
  // All are waiting for their data; they get it at once.
  std::vector<std::thread> feeders;
  std::vector<Finished> done(writers);
  for (int i = 0; i < writers; ++i) {
    feeders.emplace_back([&, i] { done[i] = finish(runs[i], "line " + std::to_string(i) + "\n"); });
  }
  for (auto& feeder : feeders) feeder.join();
  for (const auto& run : done) EXPECT_EQ(run.out, "true") << run.err;
  const std::string lines = contents(file);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), writers) << lines;
  for (int i = 0; i < writers; ++i) EXPECT_NE(lines.find("line " + std::to_string(i) + "\n"), std::string::npos);
}

// A file that other programs share is written in place; only an ordinary
// file of the caller's own is replaced by a new one.
TEST_F(Process, SharedFilesAreWrittenInPlace) {
  struct Case {
    const char* name;
    bool nobody;  // written by an unprivileged user
    std::function<std::string()> prepare;  // the path to write
    std::function<void(const std::string& path, const Finished& done)> check;
  };
  auto inode = [](const std::string& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info;
  };
  ino_t ordinaryInode = 0;
  std::string fifoRead;
  std::thread fifoReader;
  const Case cases[] = {
      {"hard link", false,
       [&] {
         std::ofstream(root + "/linked") << "old";
         ::link((root + "/linked").c_str(), (root + "/other-name").c_str());
         return root + "/linked";
       },
       [&](const std::string&, const Finished& done) {
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_EQ(contents(root + "/other-name"), "new");
         EXPECT_EQ(inode(root + "/linked").st_nlink, 2u);
       }},
      {"owned by another user", true,
       [&] {
         ::mkdir((root + "/shared").c_str(), 0777);
         ::chmod((root + "/shared").c_str(), 0777);
         const std::string file = root + "/shared/group-file";
         std::ofstream(file) << "old";
         ::chown(file.c_str(), 1, 65534);
         ::chmod(file.c_str(), 0664);
         return file;
       },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_EQ(contents(path), "new");
         EXPECT_EQ(inode(path).st_uid, 1u);
         EXPECT_EQ(inode(path).st_mode & 07777, 0664u);
       }},
      {"directory the caller cannot write", true,
       [&] {
         ::mkdir((root + "/closed").c_str(), 0755);
         const std::string file = root + "/closed/open-file";
         std::ofstream(file) << "old";
         ::chmod(file.c_str(), 0666);
         return file;
       },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_EQ(contents(path), "new");
       }},
      {"a file of the caller's own it may not write", true,
       [&] {
         ::mkdir((root + "/mine").c_str(), 0777);
         ::chmod((root + "/mine").c_str(), 0777);
         const std::string file = root + "/mine/read-only";
         std::ofstream(file) << "old";
         ::chown(file.c_str(), 65534, 65534);
         ::chmod(file.c_str(), 0444);
         return file;
       },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.status, 1);
         EXPECT_NE(done.err.find("EACCES: Permission denied, open"), std::string::npos) << done.err;
         EXPECT_EQ(contents(path), "old");
       }},
      {"the null device for a user", true, [] { return std::string("/dev/null"); },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_TRUE(S_ISCHR(inode(path).st_mode));
       }},
      {"FIFO", false,
       [&] {
         const std::string fifo = root + "/fifo";
         ::mkfifo(fifo.c_str(), 0600);
         fifoReader = std::thread([&, fifo] { fifoRead = contents(fifo); });
         return fifo;
       },
       [&](const std::string& path, const Finished& done) {
         fifoReader.join();
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_EQ(fifoRead, "new");
         EXPECT_TRUE(S_ISFIFO(inode(path).st_mode));
       }},
      {"device node", false,
       [&] {
         const std::string node = root + "/null-node";
         ::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3));
         return node;
       },
       [&](const std::string& path, const Finished&) {
         // Written, or refused on a file system mounted without devices:
         // never turned into a regular file.
         EXPECT_TRUE(S_ISCHR(inode(path).st_mode)) << inode(path).st_mode;
       }},
      {"loop of symbolic links", false,
       [&] {
         ::symlink("loop-b", (root + "/loop-a").c_str());
         ::symlink("loop-a", (root + "/loop-b").c_str());
         return root + "/loop-a";
       },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.status, 1);
         const auto error = json::parse(done.err).value_or(json::Value());
         EXPECT_EQ(error, json::Value({{"code", "EIO"},
                                       {"message", "EIO: Too many levels of symbolic links, open '" + path + "'"}}));
         EXPECT_TRUE(S_ISLNK(inode(path).st_mode));
         EXPECT_TRUE(S_ISLNK(inode(root + "/loop-b").st_mode));
       }},
      {"ordinary file of the caller's own", false,
       [&] {
         std::ofstream(root + "/ordinary") << "old";
         ordinaryInode = inode(root + "/ordinary").st_ino;
         return root + "/ordinary";
       },
       [&](const std::string& path, const Finished& done) {
         EXPECT_EQ(done.out, "true") << done.err;
         EXPECT_EQ(contents(path), "new");
         EXPECT_NE(inode(path).st_ino, ordinaryInode);  // replaced by the new file
       }},
  };
  ::chmod(root.c_str(), 0755);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.nobody || std::string(c.name) == "device node") && !canRunAsNobody()) continue;
    const std::string path = c.prepare();
    const Finished done = finish(start({writeRequest(path)}, c.nobody ? asNobody : std::vector{program}), "new");
    c.check(path, done);
  }
}

// Whether the process holds a file under `directory` open other than
// `except`: the new file of a write or copy, named or not.
bool holdsNewFileIn(pid_t pid, const std::string& directory, const std::string& except) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = ::opendir(fds.c_str());
  if (listing == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(listing)) {
    char target[4096];
    const ssize_t length = ::readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    const std::string path(target, static_cast<std::size_t>(length));
    found = found || (path.starts_with(directory + "/") && path != except);
  }
  ::closedir(listing);
  return found;
}

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(directory.c_str());
  while (const dirent* entry = listing ? ::readdir(listing) : nullptr) {
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
  }
  if (listing) ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

// A write or copy killed while its new file is being written leaves
// nothing beside the old file, which is whole.
TEST_F(Process, KilledWhileWritingTheNewFileLeavesNothing) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::string big = root + "/big";
  const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::ftruncate(fd, 512ll << 20), 0);
  ::close(fd);
  const std::string target = root + "/doc";
  struct Case {
    const char* name;
    std::string request;
    std::size_t input;  // bytes on standard input
    long long completeSize;
  };
  const Case cases[] = {
      {"write", writeRequest(target), 64u << 20, 64ll << 20},
      {"copy", R"({"op":"copy","path":")" + big + R"(","to":")" + target + "\"}", 0, 512ll << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(target) << "old";
    Child run = start({c.request});
    std::thread feeder([&] {
      const std::string data(c.input, 'n');
      for (std::size_t done = 0; done < data.size();) {
        const ssize_t wrote = ::write(run.input, data.data() + done, data.size() - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
      }
      ::close(run.input);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool caught = false;
    while (std::chrono::steady_clock::now() < deadline && ::waitpid(run.pid, nullptr, WNOHANG) == 0) {
      if ((caught = holdsNewFileIn(run.pid, root, big))) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(run.pid, SIGKILL);
    feeder.join();
    run.input = -1;
    drain(run.output);
    drain(run.error);
    ::waitpid(run.pid, nullptr, 0);
    EXPECT_EQ(entries(root), (std::vector<std::string>{"big", "doc"})) << (caught ? "killed mid-write" : "");
    struct stat info {};
    ::stat(target.c_str(), &info);
    EXPECT_TRUE(contents(target) == "old" || info.st_size == c.completeSize) << info.st_size;
  }
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
