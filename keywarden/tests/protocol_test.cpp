// The connection protocol end to end: framing, the greeting gate, error
// replies, and a broker that keeps serving after bad clients.
#include <filesystem>
#include <regex>
#include <thread>

#include "harness.h"

using namespace kwtest;

namespace {

json::Value error(const std::string& code, const std::string& message) {
  return {{"ok", false}, {"error", code}, {"message", message}};
}

class BrokerProtocol : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(broker.start(), 0); }
  Broker broker;
};

}  // namespace

TEST_F(BrokerProtocol, RequestsThatEndTheConnection) {
  struct Case {
    std::string line;
    json::Value reply;
  };
  json::Value unreadable = error("request", "Nieczytelne żądanie.");
  json::Value protocol = error("protocol", "Ten pośrednik mówi protokołem 1.");
  std::vector<Case> cases = {
      {R"({"op":"secret.get","name":"a"})", error("unauthorized", "Najpierw hello.")},
      {R"({"op":"run","tool":"/bin/true"})", error("unauthorized", "Najpierw hello.")},
      {R"({"op":"nonsense"})", error("unauthorized", "Najpierw hello.")},
      {"not json", unreadable},
      {"{}", unreadable},
      {"[1,2]", unreadable},
      {R"("hello")", unreadable},
      {R"({"name":"a"})", unreadable},
      {R"({"op":7})", unreadable},
      {"{\"op\":\"he\xff\"}", unreadable},
      {R"({"op":"hello"})", protocol},
      {R"({"op":"hello","v":2})", protocol},
      {R"({"op":"hello","v":"1"})", protocol},
      {R"({"op":"hello","v":1.5})", protocol},
  };
  for (const Case& c : cases) {
    Stream stream = connectRaw(broker.socketPath);
    ASSERT_TRUE(stream.write(c.line + "\n"));
    EXPECT_EQ(stream.reply(), c.reply) << c.line;
    EXPECT_TRUE(stream.endsWithoutReply()) << c.line;
  }
  std::vector<std::string> messages = broker.logMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "hello odrzucony: Ten pośrednik mówi protokołem 1."), 4);
}

TEST_F(BrokerProtocol, UnverifiedPeerIsRefused) {
  // The test program itself lives in a directory others can write.
  Stream raw = connectRaw(broker.socketPath);
  json::Value reply = raw.request({{"op", "hello"}, {"v", 1}});
  EXPECT_EQ(reply["ok"], false);
  EXPECT_EQ(reply["error"], "unauthorized");
  EXPECT_TRUE(raw.endsWithoutReply());

  // A copy of the verified relay, outside its bundle, in the user's home.
  std::string copy = broker.home + "/client";
  std::filesystem::copy_file(relayProgram(), copy);
  Stream relayed = connectThrough(copy, broker.socketPath);
  json::Value refused = relayed.request({{"op", "hello"}, {"v", 1}});
  EXPECT_EQ(refused["error"], "unauthorized");
  EXPECT_TRUE(refused["message"].is_string() && !refused["message"].get<std::string>().empty());
  EXPECT_TRUE(relayed.endsWithoutReply());
  EXPECT_EQ(broker.logMessages().back(), "hello odrzucony: " + refused["message"].get<std::string>());
}

TEST_F(BrokerProtocol, VerifiedPeerIsAdmittedAndLogged) {
  auto stream = connectVerified(broker.socketPath);
  if (!stream) GTEST_SKIP() << "needs root for the test bundle";
  json::Value reply = stream->request({{"op", "hello"}, {"v", 1}});
  EXPECT_EQ(reply.dump(), R"({"ok":true,"v":1,"identifier":"org.orvan.library"})");
  EXPECT_TRUE(std::regex_match(broker.logMessages().back(),
                               std::regex("hello: org\\.orvan\\.library [0-9a-f]{12} — przyjęty")))
      << broker.logMessages().back();
  // A second greeting runs again; a failing one ends the connection.
  EXPECT_EQ(stream->request({{"op", "hello"}, {"v", 1}})["ok"], true);
  EXPECT_EQ(stream->request({{"op", "hello"}, {"v", 3}})["error"], "protocol");
  EXPECT_TRUE(stream->endsWithoutReply());
}

TEST_F(BrokerProtocol, AdmittedConnectionSurvivesOperationErrors) {
  KW_VERIFIED(stream, broker);
  EXPECT_EQ(stream.request({{"op", "secret.list"}}), error("request", "Nieznana operacja."));
  EXPECT_EQ(stream.request({{"op", "secret.get"}}),
            error("request", "Nazwa sekretu: litery, cyfry, . _ - (do 128)."));
  EXPECT_EQ(stream.request({{"op", "run"}}), error("request", "Brak narzędzia."));
  EXPECT_EQ(stream.request({{"op", "secret.get"}, {"name", "x"}}), (json::Value{{"ok", true}, {"found", false}}));
  // A malformed line still ends even an admitted connection.
  ASSERT_TRUE(stream.write("{oops\n"));
  EXPECT_EQ(stream.reply(), error("request", "Nieczytelne żądanie."));
  EXPECT_TRUE(stream.endsWithoutReply());
}

TEST_F(BrokerProtocol, FramingAcrossPackets) {
  KW_VERIFIED(stream, broker);
  // Two requests in one packet are both answered, in order.
  ASSERT_TRUE(stream.write(R"({"op":"secret.set","name":"a","value":"1"})"
                           "\n"
                           R"({"op":"secret.get","name":"a"})"
                           "\n"));
  EXPECT_EQ(stream.reply(), (json::Value{{"ok", true}}));
  EXPECT_EQ(stream.reply()["value"], "1");

  // A greeting in one-byte packets is answered once its line feed arrives.
  Stream raw = connectRaw(broker.socketPath);
  std::string line = R"({"op":"hello","v":9})";
  for (char c : line) {
    ASSERT_TRUE(raw.write(std::string(1, c)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(raw.readLine(100).has_value());
  ASSERT_TRUE(raw.write("\n"));
  EXPECT_EQ(raw.reply()["error"], "protocol");

  // Bytes after the last line feed are dropped when the client closes.
  ASSERT_TRUE(stream.write(R"({"op":"secret.get","name":"a"})"
                           "\n"
                           R"({"op":"secret.get","na)"));
  stream.closeInput();
  EXPECT_EQ(stream.reply()["value"], "1");
  EXPECT_TRUE(stream.endsWithoutReply());
}

// The 48 MiB line limit holds once a connection is admitted (before its
// greeting a connection gets 64 KiB: see the admission tests).
TEST_F(BrokerProtocol, LineLimitIs48MiB) {
  const std::size_t limit = 50331648;
  std::string head = R"({"op":"secret.get","name":"never-set","pad":")";
  std::string line = head + std::string(limit - head.size() - 2, 'x') + "\"}";
  ASSERT_EQ(line.size(), limit);
  KW_VERIFIED(exact, broker);
  ASSERT_TRUE(exact.write(line + "\n"));
  json::Value reply = exact.reply(180000);  // parsing 48 MiB is slow in sanitizer builds
  EXPECT_EQ(reply["found"], false) << reply.dump();

  KW_VERIFIED(over, broker);
  ASSERT_TRUE(over.write(line));
  over.write("x");  // the broker may close before taking it all
  EXPECT_TRUE(over.endsWithoutReply(180000));
  // The broker still serves everyone else.
  Stream next = connectRaw(broker.socketPath);
  EXPECT_EQ(next.request({{"op", "hello"}, {"v", 2}})["error"], "protocol");
}

TEST_F(BrokerProtocol, VanishingClientsDoNotHarmOthers) {
  {
    KW_VERIFIED(stream, broker);
    // A big output the client never reads, then it disappears mid-reply.
    stream.send({{"op", "run"}, {"tool", "/usr/bin/head"}, {"args", {"-c", "20000000", "/dev/zero"}}});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  {
    Stream raw = connectRaw(broker.socketPath);
    raw.write(R"({"op":"hello","v":2})"
              "\n");
  }  // closed before reading its reply
  KW_VERIFIED(other, broker);
  EXPECT_EQ(other.request({{"op", "secret.get"}, {"name", "n"}})["ok"], true);
  ::kill(broker.pid, 0);
  EXPECT_EQ(broker.waitForExit(0), -1);
}
