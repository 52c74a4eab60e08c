// The broker process: home directory, single instance, socket and idle exit.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "harness.h"

using namespace kwtest;

TEST(BrokerLifecycle, FirstStartCreatesHomeFilesAndStartLine) {
  Broker broker;
  ASSERT_GT(broker.start(), 0);
  EXPECT_EQ(fileMode(broker.home + "/Library"), 0700u);
  EXPECT_EQ(fileMode(broker.home + "/Library/Application Support"), 0700u);
  EXPECT_EQ(fileMode(broker.accessHome), 0700u);
  EXPECT_EQ(fileMode(broker.socketPath), 0600u);
  EXPECT_EQ(fileMode(broker.accessHome + "/lock"), 0600u);
  EXPECT_EQ(fileMode(broker.accessHome + "/keywarden.log"), 0600u);
  std::string log = broker.logText();
  EXPECT_TRUE(std::regex_match(log, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[)" + std::to_string(broker.pid) +
                                               R"(\] start, protokół 1\n)")))
      << log;
}

TEST(BrokerLifecycle, ExistingHomeIsMadePrivate) {
  Broker broker;
  std::filesystem::create_directories(broker.accessHome);
  ::chmod(broker.accessHome.c_str(), 0755);
  ASSERT_GT(broker.start(), 0);
  EXPECT_EQ(fileMode(broker.accessHome), 0700u);
}

TEST(BrokerLifecycle, ExistingParentsKeepTheirModes) {
  Broker broker;
  std::filesystem::create_directories(broker.home + "/Library");
  ::chmod((broker.home + "/Library").c_str(), 0755);
  ASSERT_GT(broker.start(), 0);
  EXPECT_EQ(fileMode(broker.home + "/Library"), 0755u);
  EXPECT_EQ(fileMode(broker.home + "/Library/Application Support"), 0700u);
}

TEST(BrokerLifecycle, SecondBrokerEndsAtOnceAndFirstKeepsItsSocket) {
  Broker broker;
  ASSERT_GT(broker.start(), 0);
  pid_t first = broker.pid;
  ASSERT_GT(broker.start(false), 0);
  EXPECT_EQ(broker.waitForExit(5000), 0);
  broker.pid = first;
  Stream stream = connectRaw(broker.socketPath);
  EXPECT_EQ(stream.request({{"op", "hello"}, {"v", 2}})["error"], "protocol");
  std::vector<std::string> messages = broker.logMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "start, protokół 1"), 1);
}

TEST(BrokerLifecycle, StaleSocketFileDoesNotBlockStart) {
  Broker broker;
  ASSERT_GT(broker.start(), 0);
  broker.kill();  // leaves its socket behind
  ASSERT_TRUE(exists(broker.socketPath));
  ASSERT_GT(broker.start(), 0);
  Stream stream = connectRaw(broker.socketPath);
  EXPECT_EQ(stream.request({{"op", "hello"}, {"v", 0}})["error"], "protocol");
}

TEST(BrokerLifecycle, OverlongSocketPathEndsWithStatusOne) {
  Broker broker;
  broker.useHome(std::string(40, 'h'));  // the socket path is then 116 bytes long
  ASSERT_GT(broker.socketPath.size(), 103u);
  ASSERT_GT(broker.start(false), 0);
  EXPECT_EQ(broker.waitForExit(5000), 1);
  EXPECT_EQ(broker.logMessages(), std::vector<std::string>{"ścieżka gniazda za długa"});
}

TEST(BrokerLifecycle, SocketPathOfExactly103BytesIsAccepted) {
  Broker broker;
  broker.useHome(std::string(103 - broker.socketPath.size() - 1, 'h'));
  ASSERT_EQ(broker.socketPath.size(), 103u);
  EXPECT_GT(broker.start(), 0);
}

TEST(BrokerLifecycle, IdleBrokerEndsAndRemovesItsSocket) {
  // This build waits 2 s instead of 900 s and checks every second.
  Broker broker("keywarden_test_idle");
  ASSERT_GT(broker.start(), 0);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(broker.waitForExit(10000), 0);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(waited, 1.9);
  EXPECT_LT(waited, 4.5);
  EXPECT_FALSE(exists(broker.socketPath));
  EXPECT_TRUE(exists(broker.accessHome + "/lock"));
  EXPECT_EQ(broker.logMessages().back(), "bezczynność — koniec pracy");
}

TEST(BrokerLifecycle, OpenConnectionKeepsIdleBrokerAlive) {
  Broker broker("keywarden_test_idle");
  ASSERT_GT(broker.start(), 0);
  {
    Stream stream = connectRaw(broker.socketPath);
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    EXPECT_EQ(broker.waitForExit(0), -1) << "ended while a connection was open";
  }
  // Idle time counts from the moment the connection closed.
  auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(broker.waitForExit(10000), 0);
  EXPECT_GT(std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count(), 1.9);
}
