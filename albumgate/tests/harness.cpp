#include "harness.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "imageio.h"

namespace harness {

const char accessMessage[] =
    "PhotoKit access denied. Allow Orvan Library to read and add photos in System Settings > Privacy & Security > "
    "Photos.\n";

Finished run(const std::string& program, const std::vector<std::string>& arguments) {
  int out[2], err[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {out[0], err[0], out[1], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);

  Finished done;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&done.out, &done.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  done.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return done;
}

Finished albumgate(const std::vector<std::string>& arguments) {
  return run(ORVAN_BIN_DIR "/albumgate", arguments);
}

std::vector<std::string> photolib(const std::vector<std::string>& arguments) {
  const Finished done = run(ORVAN_BIN_DIR "/photolib", arguments);
  EXPECT_EQ(done.status, 0) << "photolib: " << done.err;
  std::vector<std::string> lines;
  std::istringstream text(done.out);
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

json::Value albumgateJson(const std::vector<std::string>& arguments, int expectedStatus) {
  const Finished done = albumgate(arguments);
  EXPECT_EQ(done.status, expectedStatus) << done.err;
  EXPECT_EQ(done.err, "");
  EXPECT_TRUE(!done.out.empty() && done.out.back() == '\n' && done.out.find('\n') == done.out.size() - 1)
      << done.out;
  auto value = json::parse(done.out, {.requireContainer = true, .byteEscapes = true});
  EXPECT_TRUE(value) << done.out;
  return value ? *value : json::Value();
}

void writeJpeg(const std::string& path, int width, int height, unsigned char shade) {
  static const bool ready = imageio::initialize();
  ASSERT_TRUE(ready);
  imageio::Raster raster;
  raster.width = width;
  raster.height = height;
  raster.data.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, shade);
  const auto bytes = imageio::encodeJpeg(raster, 0.8);
  ASSERT_TRUE(bytes);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes->data()),
                                              static_cast<std::streamsize>(bytes->size()));
}

std::string contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Library::SetUp() {
  char pattern[] = "/tmp/albumgate-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  root = pattern;
  sources = root + "/sources";
  ::mkdir(sources.c_str(), 0755);
  ::mkdir((root + "/data").c_str(), 0755);
  ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
}

void Library::TearDown() { std::system(("rm -rf '" + root + "'").c_str()); }

std::string Library::addPhoto(const std::string& name, const std::vector<std::string>& options, int width,
                              int height) {
  const std::string path = sources + "/" + name;
  writeJpeg(path, width, height);
  std::vector<std::string> arguments{"add"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  arguments.push_back(path);
  const auto lines = photolib(arguments);
  EXPECT_EQ(lines.size(), 1u);
  return lines.empty() ? "" : lines[0];
}

std::string Library::createAlbum(const std::string& title) {
  const auto lines = photolib({"create-album", title});
  EXPECT_EQ(lines.size(), 1u);
  return lines.empty() ? "" : lines[0];
}

void Library::addToAlbum(const std::string& album, const std::vector<std::string>& assets) {
  std::vector<std::string> arguments{"add-to-album", album};
  arguments.insert(arguments.end(), assets.begin(), assets.end());
  photolib(arguments);
}

std::string Library::libraryDirectory() const { return root + "/data/Orvan Photos Library"; }

}  // namespace harness
