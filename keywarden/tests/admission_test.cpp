// Who may speak on an admitted connection, and what a connection may cost
// before its greeting. The attacks are run by tests/attacker.cpp against the
// real broker, with the genuine relay of the test bundle as the host.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "harness.h"

using namespace kwtest;

namespace {

class BrokerAdmission : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(broker.start(), 0); }
  Broker broker{"keywarden_test_greeting"};
};

}  // namespace

// A process that connected and then became the genuine host, or that holds
// a connection of one that did, never gets an answer but a refusal: not the
// secret, not a launched tool. Each refusal is logged.
TEST_F(BrokerAdmission, AConnectionHandedToTheHostIsNotTheHosts) {
  KW_VERIFIED(owner, broker);
  ASSERT_EQ(owner.request({{"op", "secret.set"}, {"name", "token"}, {"value", "s3cret"}})["ok"], true);
  const std::string host = testBundle() + "/Contents/client";
  for (const char* mode : {"parent-exec", "child-exec", "passed-fd", "write-then-exec"}) {
    std::size_t logLines = broker.logMessages().size();
    std::string output = outputOf(attackerProgram(), {mode, broker.socketPath, host});
    EXPECT_EQ(output.find("s3cret"), std::string::npos) << mode << ": " << output;
    EXPECT_EQ(output.find("uid="), std::string::npos) << mode << ": " << output;
    EXPECT_EQ(output.find(R"("ok":true)"), std::string::npos) << mode << ": " << output;
    EXPECT_NE(output.find(R"("error":"unauthorized")"), std::string::npos) << mode << ": " << output;
    std::vector<std::string> messages = broker.logMessages();
    ASSERT_GT(messages.size(), logLines) << mode;
    bool refused = false;
    for (std::size_t i = logLines; i < messages.size(); ++i)
      refused |= messages[i].starts_with("hello odrzucony: ") || messages[i].starts_with("żądanie odrzucone: ");
    EXPECT_TRUE(refused) << mode;
  }
  // The host's own connection is untouched.
  EXPECT_EQ(owner.request({{"op", "secret.get"}, {"name", "token"}})["value"], "s3cret");
}

// Requests sent along with the greeting, before its answer, may have been
// written by another program than the one verified: refused.
TEST_F(BrokerAdmission, RequestsBeforeTheGreetingsAnswerAreRefused) {
  auto stream = connectVerified(broker.socketPath);
  if (!stream) GTEST_SKIP() << "needs root for the test bundle";
  ASSERT_TRUE(stream->write(R"({"op":"hello","v":1})"
                            "\n"
                            R"({"op":"secret.get","name":"a"})"
                            "\n"));
  json::Value reply = stream->reply();
  EXPECT_EQ(reply["error"], "unauthorized");
  EXPECT_EQ(reply["message"], "Żądanie wysłane przed przyjęciem powitania.");
  EXPECT_TRUE(stream->endsWithoutReply());
  EXPECT_EQ(broker.logMessages().back(), "hello odrzucony: Żądanie wysłane przed przyjęciem powitania.");
}

// Before the greeting: a line longer than 64 KiB ends the connection without
// a reply, and so does a minute's silence (a second in this build).
TEST_F(BrokerAdmission, UngreetedConnectionsAreBoundedInSizeAndTime) {
  Stream small = connectRaw(broker.socketPath);
  std::string line = R"({"op":"hello","v":2,"pad":")";
  line += std::string(65536 - line.size() - 2, 'x') + "\"}";
  ASSERT_TRUE(small.write(line + "\n"));
  EXPECT_EQ(small.reply()["error"], "protocol");

  Stream big = connectRaw(broker.socketPath);
  big.write(line + "x");
  EXPECT_TRUE(big.endsWithoutReply(5000));

  Stream silent = connectRaw(broker.socketPath);
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.endsWithoutReply(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// At most 64 connections wait for their greeting; one more waits in the
// listening queue, unserved, until one of them leaves.
TEST_F(BrokerAdmission, WaitingConnectionsAreBounded) {
  std::vector<Stream> crowd;
  for (int i = 0; i < 64; ++i) crowd.push_back(connectRaw(broker.socketPath));
  Stream extra = connectRaw(broker.socketPath);
  ASSERT_TRUE(extra.send({{"op", "hello"}, {"v", 2}}));
  EXPECT_FALSE(extra.readLine(500).has_value());
  crowd.pop_back();
  EXPECT_EQ(extra.reply()["error"], "protocol");
}
