// Verification of real peer processes. A root-only bundle needs every
// directory above it to be root-only too, so the bundles are built under
// /run (root-owned, 0755), which takes root; without it these tests skip.
#include "trust.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* identifier = "org.example.app";

class PeerVerification : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "root-only bundles can only be built by root";
    }
    base_ = "/run/orvan-trust-test-" + std::to_string(::getpid());
    fs::remove_all(base_);
    bundle_ = base_ + "/App";
    fs::create_directories(bundle_ + "/bin");
    ::chmod(base_.c_str(), 0755);
    ::chmod(bundle_.c_str(), 0755);
    ::chmod((bundle_ + "/bin").c_str(), 0755);
    executable_ = bundle_ + "/bin/helper";
    fs::copy_file(TRUST_PEER_HELPER, executable_);
    ::chmod(executable_.c_str(), 0755);
    writeMarker(std::string(identifier) + "\n");
    listen();
  }

  void TearDown() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (listener_ >= 0) ::close(listener_);
    if (!base_.empty()) fs::remove_all(base_);
  }

  void writeMarker(const std::string& text) {
    const std::string marker = bundle_ + "/bundle.identifier";
    std::ofstream(marker, std::ios::trunc) << text;
    ::chmod(marker.c_str(), 0644);
  }

  void listen() {
    socketPath_ = base_ + "/socket";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath_.c_str());
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::chmod(socketPath_.c_str(), 0777);
    ASSERT_EQ(::listen(listener_, 8), 0);
  }

  // Starts `program` with the socket path as its first argument (or in place
  // of an argument "@socket"), waits for it to connect and returns the
  // listening end's side of the connection.
  int connectPeer(const std::string& program, std::vector<std::string> arguments = {},
                  std::vector<std::string> environment = {}, uid_t uid = 0,
                  bool traced = false) {
    const auto token = std::find(arguments.begin(), arguments.end(), "@socket");
    if (token == arguments.end()) arguments.insert(arguments.begin(), socketPath_);
    else *token = socketPath_;
    arguments.insert(arguments.begin(), program);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      std::vector<char*> argv;
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (std::string& entry : environment) envp.push_back(entry.data());
      envp.push_back(nullptr);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    children_.push_back(pid);
    if (traced) {
      EXPECT_EQ(::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr), 0);
    }
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) {
      ADD_FAILURE() << "the peer did not connect";
      return -1;
    }
    return ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  trust::Refusal verify(int fd) {
    last_ = trust::verifyPeer(fd, identifier);
    ::close(fd);
    return last_.refusal;
  }

  std::string base_, bundle_, executable_, socketPath_;
  int listener_ = -1;
  std::vector<pid_t> children_;
  trust::Verification last_;
};

std::string sha256sum(const std::string& path) {
  std::string command = "sha256sum '" + path + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  char digest[65] = {};
  if (!pipe || std::fread(digest, 1, 64, pipe) != 64) digest[0] = 0;
  if (pipe) ::pclose(pipe);
  return digest;
}

TEST_F(PeerVerification, aBundledPeerIsAcceptedWithItsFacts) {
  const int fd = connectPeer(executable_);
  ASSERT_EQ(verify(fd), trust::Refusal::none) << trust::refusalName(last_.refusal);
  const trust::VerifiedPeer& peer = last_.peer;
  EXPECT_EQ(peer.pid, children_.back());
  EXPECT_EQ(peer.uid, 0u);
  EXPECT_EQ(peer.path, executable_);
  EXPECT_EQ(peer.bundlePath, bundle_);
  EXPECT_EQ(peer.identifier, identifier);
  EXPECT_TRUE(peer.isBundle);
  EXPECT_EQ(peer.hashHex, sha256sum(executable_));
  EXPECT_NE(peer.startTime, 0u);

  // Tool permission against the verified bundle.
  EXPECT_TRUE(trust::isInsideBundle(executable_, peer));
  EXPECT_FALSE(trust::isInsideBundle(bundle_ + "-other/bin/helper", peer));
  EXPECT_FALSE(trust::isInsideBundle("/usr/bin/true", peer));
  EXPECT_EQ(trust::recheckBundle(peer, executable_), trust::Refusal::none);
  EXPECT_FALSE(trust::isPlatformProgram(executable_));

  // A tool that others can change is no longer part of a root-only bundle.
  const std::string tool = bundle_ + "/bin/tool";
  fs::copy_file("/bin/true", tool);
  ::chmod(tool.c_str(), 0755);
  EXPECT_EQ(trust::recheckBundle(peer, tool), trust::Refusal::none);
  ::chmod(tool.c_str(), 0775);
  EXPECT_EQ(trust::recheckBundle(peer, tool), trust::Refusal::unprotectedBundle);
  EXPECT_EQ(trust::recheckBundle(peer, "/usr/bin/true"), trust::Refusal::notInBundle);

  writeMarker("org.example.other\n");
  EXPECT_EQ(trust::recheckBundle(peer, executable_), trust::Refusal::wrongIdentifier);
  writeMarker(std::string(identifier) + "\n");
  ::chmod((bundle_ + "/bin").c_str(), 0777);
  EXPECT_EQ(trust::recheckBundle(peer, executable_), trust::Refusal::unprotectedBundle);
  ::chmod((bundle_ + "/bin").c_str(), 0755);
  // A rewritten executable is not the file that was verified.
  ::chmod(executable_.c_str(), 0700);
  ::chmod(executable_.c_str(), 0755);
  EXPECT_EQ(trust::recheckBundle(peer, executable_), trust::Refusal::executableReplaced);
}

TEST_F(PeerVerification, theMarkerMustBeThereNameTheApplicationAndBeRootOnly) {
  writeMarker("org.example.other\n");
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::wrongIdentifier);
  writeMarker("  org.example.app \r\nsecond line\n");
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::none);
  writeMarker("");
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::wrongIdentifier);
  writeMarker(std::string(identifier));
  ::chmod((bundle_ + "/bundle.identifier").c_str(), 0666);
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
  fs::remove(bundle_ + "/bundle.identifier");
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::notInBundle);
  // A link standing in for the marker is not trusted.
  std::ofstream(base_ + "/elsewhere") << identifier;
  fs::create_symlink(base_ + "/elsewhere", bundle_ + "/bundle.identifier");
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
}

TEST_F(PeerVerification, aDirectoryOthersCanChangeSpoilsTheBundle) {
  ::chmod((bundle_ + "/bin").c_str(), 0777);
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
  ::chmod((bundle_ + "/bin").c_str(), 0755);

  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(::chown(bundle_.c_str(), nobody->pw_uid, 0), 0);
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
  ASSERT_EQ(::chown(bundle_.c_str(), 0, 0), 0);

  ::chmod(base_.c_str(), 0775);
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
  ::chmod(base_.c_str(), 0755);
  ::chmod(executable_.c_str(), 0757);
  EXPECT_EQ(verify(connectPeer(executable_)), trust::Refusal::unprotectedBundle);
}

TEST_F(PeerVerification, anInterpreterInASystemDirectoryIsNeverTheApplication) {
  if (!fs::exists("/usr/bin/perl")) {
    GTEST_SKIP() << "no /usr/bin/perl to connect with";
  }
  const int fd = connectPeer("/usr/bin/perl",
                             {"-MSocket", "-e",
                              "socket(S, PF_UNIX, SOCK_STREAM, 0) or die; "
                              "connect(S, pack_sockaddr_un($ARGV[0])) or die; sysread(S, $x, 1);",
                              "@socket"});
  EXPECT_EQ(verify(fd), trust::Refusal::systemDirectory);
}

TEST_F(PeerVerification, aPeerStartedToTakeInForeignCodeIsTampered) {
  for (const char* variable : {"LD_PRELOAD=", "LD_AUDIT=", "LD_LIBRARY_PATH=/nonexistent",
                               "ELECTRON_RUN_AS_NODE=1", "NODE_OPTIONS=--require=x"}) {
    EXPECT_EQ(verify(connectPeer(executable_, {}, {"HOME=/root", variable})),
              trust::Refusal::injectedEnvironment)
        << variable;
  }
  EXPECT_EQ(verify(connectPeer(executable_, {"--inspect=9229"})),
            trust::Refusal::debuggingSwitch);
  EXPECT_EQ(verify(connectPeer(executable_, {"-remote-debugging-port=9222"})),
            trust::Refusal::debuggingSwitch);

  // Code mapped from a file in a directory others can write.
  const std::string foreign = base_ + "/open/code.so";
  fs::create_directories(base_ + "/open");
  ::chmod((base_ + "/open").c_str(), 0777);
  fs::copy_file("/bin/true", foreign);
  EXPECT_EQ(verify(connectPeer(executable_, {"--map=" + foreign})), trust::Refusal::foreignCode);
  // The same code from a root-only directory is fine.
  EXPECT_EQ(verify(connectPeer(executable_, {"--map=/bin/true"})), trust::Refusal::none);
}

TEST_F(PeerVerification, aTracedPeerIsTampered) {
  EXPECT_EQ(verify(connectPeer(executable_, {}, {}, 0, true)), trust::Refusal::traced);
}

TEST_F(PeerVerification, aPeerOfAnotherUserIsRefused) {
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  EXPECT_EQ(verify(connectPeer(executable_, {}, {}, nobody->pw_uid)), trust::Refusal::otherUser);
}

TEST_F(PeerVerification, aReplacedExecutableIsRefused) {
  const int fd = connectPeer(executable_);
  // The running file is unlinked and another put in its place.
  fs::remove(executable_);
  fs::copy_file(TRUST_PEER_HELPER, executable_);
  ::chmod(executable_.c_str(), 0755);
  EXPECT_EQ(verify(fd), trust::Refusal::executableReplaced);
}

TEST_F(PeerVerification, aPeerThatIsGoneIsRefused) {
  const int fd = connectPeer(executable_);
  const pid_t pid = children_.back();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  children_.pop_back();
  const trust::Refusal refusal = verify(fd);
  EXPECT_TRUE(refusal == trust::Refusal::processGone || refusal == trust::Refusal::pidReused)
      << trust::refusalName(refusal);
}

TEST(PeerCredentials, aSocketWithoutPeerHasNoCredentials) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(trust::verifyPeer(fd, identifier).refusal, trust::Refusal::noCredentials);
  ::close(fd);
  EXPECT_EQ(trust::verifyPeer(-1, identifier).refusal, trust::Refusal::noCredentials);
}

// Each received piece names its writer; a descriptor passed along is closed
// unseen; a writer that ended is no longer the same writer.
TEST(WriterCredentials, piecesNameTheirWriterAndPassedDescriptorsAreClosed) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(trust::attachWriterCredentials(pair[0]));
  ASSERT_EQ(::write(pair[1], "a", 1), 1);
  pid_t child = ::fork();
  if (child == 0) {
    int passed = ::open("/dev/null", O_RDONLY);
    char byte = 'b';
    iovec vector{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    ::_exit(::sendmsg(pair[1], &message, 0) == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);

  auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto before = openDescriptors();
  char byte = 0;
  trust::Writer first, second;
  ASSERT_EQ(trust::receiveFromWriter(pair[0], &byte, 8, first), 1);
  EXPECT_EQ(byte, 'a');
  ASSERT_EQ(trust::receiveFromWriter(pair[0], &byte, 8, second), 1);
  EXPECT_EQ(byte, 'b');
  EXPECT_EQ(first.pid, ::getpid());
  EXPECT_EQ(second.pid, child);
  EXPECT_TRUE(trust::sameWriter(first, first));
  EXPECT_FALSE(trust::sameWriter(first, second));
  if (second.process.valid()) {
    EXPECT_FALSE(trust::sameWriter(second, second)) << "the child has ended";
  }
  // Only the pid descriptors that the kernel sent stay open, held by the writers.
  const auto handles = (first.process.valid() ? 1 : 0) + (second.process.valid() ? 1 : 0);
  EXPECT_EQ(openDescriptors(), before + handles);
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST(PlatformPrograms, onlyRootOnlyFilesInTheSystemProgramDirectoriesQualify) {
  EXPECT_TRUE(trust::isPlatformProgram("/bin/sh"));  // a link, judged by its target
  EXPECT_TRUE(trust::isPlatformProgram("/usr/bin/env"));
  EXPECT_FALSE(trust::isPlatformProgram("/usr/bin"));
  EXPECT_FALSE(trust::isPlatformProgram("/usr/bin/no-such-program"));
  EXPECT_FALSE(trust::isPlatformProgram("/etc/passwd"));
  EXPECT_FALSE(trust::isPlatformProgram("bin/sh"));

  const std::string link = fs::temp_directory_path() / ("trust-link-" + std::to_string(getpid()));
  fs::remove(link);
  fs::create_symlink("/usr/bin/env", link);
  EXPECT_TRUE(trust::isPlatformProgram(link));
  fs::remove(link);
}

}  // namespace
