// The secret operations against the real Secret Service.
#include "harness.h"

using namespace kwtest;

namespace {

const json::Value ok = {{"ok", true}};
const json::Value badName = {{"ok", false}, {"error", "request"}, {"message", "Nazwa sekretu: litery, cyfry, . _ - (do 128)."}};
const json::Value badValue = {{"ok", false}, {"error", "request"}, {"message", "Sekret musi być tekstem do 64 KB."}};

json::Value found(const std::string& value) { return {{"ok", true}, {"found", true}, {"value", value}}; }

json::Value set(const std::string& name, const json::Value& value) {
  return {{"op", "secret.set"}, {"name", name}, {"value", value}};
}
json::Value get(const json::Value& name) { return {{"op", "secret.get"}, {"name", name}}; }

class BrokerSecrets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(broker.start(), 0); }
  Broker broker;
};

}  // namespace

TEST_F(BrokerSecrets, Names) {
  KW_VERIFIED(stream, broker);
  std::string longest(128, 'a');
  longest.replace(0, 4, "A.-_");
  EXPECT_EQ(stream.request(set(longest, "v")), ok);
  EXPECT_EQ(stream.request(get(longest)), found("v"));
  for (const json::Value& name : {json::Value(std::string(129, 'a')), json::Value(""), json::Value("a b"),
                                  json::Value("a/b"), json::Value("zażółć"), json::Value(5), json::Value(nullptr)}) {
    EXPECT_EQ(stream.request(get(name)), badName) << name.dump();
    EXPECT_EQ(stream.request({{"op", "secret.delete"}, {"name", name}}), badName) << name.dump();
  }
  EXPECT_EQ(stream.request({{"op", "secret.get"}}), badName);
  // The name is checked before the value.
  EXPECT_EQ(stream.request(set("a b", 7)), badName);
}

TEST_F(BrokerSecrets, Values) {
  KW_VERIFIED(stream, broker);
  std::string largest(65536, 'v');
  EXPECT_EQ(stream.request(set("big", largest)), ok);
  EXPECT_EQ(stream.request(get("big")), found(largest));
  EXPECT_EQ(stream.request(set("big", largest + "w")), badValue);
  EXPECT_EQ(stream.request(get("big")), found(largest));  // unchanged
  std::string twoByte;
  for (int i = 0; i < 32768; ++i) twoByte += "ł";
  EXPECT_EQ(stream.request(set("polish", twoByte)), ok);
  EXPECT_EQ(stream.request(get("polish")), found(twoByte));
  EXPECT_EQ(stream.request(set("polish", twoByte + "a")), badValue);
  EXPECT_EQ(stream.request(set("empty", "")), ok);
  EXPECT_EQ(stream.request(get("empty")), found(""));
  EXPECT_EQ(stream.request({{"op", "secret.set"}, {"name", "x"}}), badValue);
  EXPECT_EQ(stream.request(set("x", json::Value::array())), badValue);
}

TEST_F(BrokerSecrets, LifeOfOneSecret) {
  KW_VERIFIED(stream, broker);
  EXPECT_EQ(stream.request(get("never")), (json::Value{{"ok", true}, {"found", false}}));
  EXPECT_EQ(stream.request({{"op", "secret.delete"}, {"name", "never"}}), ok);
  EXPECT_EQ(stream.request(set("token", "first")), ok);
  EXPECT_EQ(stream.request(set("token", "second")), ok);
  EXPECT_EQ(stream.request(get("token")), found("second"));
  // Another connection sees the same store.
  KW_VERIFIED(other, broker);
  EXPECT_EQ(other.request(get("token")), found("second"));
  EXPECT_EQ(other.request({{"op", "secret.delete"}, {"name", "token"}}), ok);
  EXPECT_EQ(stream.request(get("token")), (json::Value{{"ok", true}, {"found", false}}));
}

TEST_F(BrokerSecrets, SecretsSurviveTheBroker) {
  {
    KW_VERIFIED(stream, broker);
    EXPECT_EQ(stream.request(set("kept", "across runs")), ok);
  }
  broker.kill();
  ASSERT_GT(broker.start(), 0);
  KW_VERIFIED(stream, broker);
  EXPECT_EQ(stream.request(get("kept")), found("across runs"));
}
