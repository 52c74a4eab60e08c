// The request protocol: framing, the error object, jsonInt, the output cap
// and the batch rules.


#include "harness.h"

namespace {

const std::string noRequest = "EINVAL|treeclerk: brak żądania JSON";

TEST(Protocol, MissingOrMalformedRequests) {
  treeclerk::Session session{.streams = {.writeStandardOutput = [](std::string_view) {},
                                         .readStandardInput = [] { return std::string(); }},
                             .captureBuffer = std::nullopt};
  const auto none = treeclerk::run(nullptr, session);
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.errorText, R"({"code":"EINVAL","message":"treeclerk: brak żądania JSON"})");

  EXPECT_EQ(answerError("{}"), noRequest);
  EXPECT_EQ(answerError("[]"), noRequest);
  EXPECT_EQ(answerError(R"({"op":5})"), noRequest);
  EXPECT_EQ(answerError(R"({"path":"x"})"), noRequest);
  EXPECT_EQ(answerError(R"("stat")"), noRequest);

  // Bad JSON is the parser's error, reported as EIO with its description.
  for (const std::string& text : {std::string("{\"op\":"), std::string("{\"op\":\"stat\"} x"),
                                 std::string("{\"op\":\"st\xff\"}"), std::string(5000, '[')}) {
    const std::string error = answerError(text);
    EXPECT_TRUE(error.starts_with("EIO|")) << error;
    EXPECT_GT(error.size(), 10u) << error;
  }
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  EXPECT_TRUE(answerError(deep).starts_with("EIO|JSON text is nested deeper"));
}

TEST(Protocol, UnknownOperations) {
  EXPECT_EQ(answerError(R"({"op":"format-disk"})"), "EINVAL|treeclerk: nieznana operacja format-disk");
  EXPECT_EQ(answerJSON(R"({"op":"batch","ops":[{"op":"format-disk"},{"op":"batch","ops":[]},{}]})"),
            json::parse(R"([{"deferred":true},{"deferred":true},{"deferred":true}])").value());
}

TEST(Protocol, BooleanResultIsBareText) {
  const Answer answer = request(R"({"op":"exists","path":"/"})");
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.out, "true");
}

TEST(Protocol, WholeNumberArguments) {
  const std::string prefix = R"({"op":"read","path":"/dev/null","offset":)";
  for (const std::string bad : {"true", "-1", "1.5", "\"3\"", "1e19", "null"}) {
    EXPECT_EQ(answerError(prefix + bad + "}"), "EINVAL|EINVAL: niepoprawna wartość offset") << bad;
  }
  // 2^63 itself is accepted (held as the largest signed value).
  EXPECT_EQ(request(prefix + "9223372036854775808}").status, 0);
  EXPECT_EQ(request(prefix + "9.223372036854775808e18}").status, 0);
  EXPECT_EQ(answerError(R"({"op":"list-tree","path":"/","maxEntries":false})"),
            "EINVAL|EINVAL: niepoprawna wartość maxEntries");
}

TEST(Protocol, OutputCap) {
  std::string captured;
  treeclerk::Session session{.streams = {.writeStandardOutput = [&](std::string_view b) { captured.append(b); },
                                         .readStandardInput = [] { return std::string(); }},
                             .captureBuffer = std::nullopt};
  // Exactly 8 MiB (with the two quotes) is written; one byte more is refused whole.
  treeclerk::writeJSON(json::Value(std::string(treeclerk::maxJSONBytes - 2, 'a')), session);
  EXPECT_EQ(captured.size(), treeclerk::maxJSONBytes);
  captured.clear();
  try {
    treeclerk::writeJSON(json::Value(std::string(treeclerk::maxJSONBytes - 1, 'a')), session);
    ADD_FAILURE() << "no E2BIG";
  } catch (const treeclerk::Failure& failure) {
    EXPECT_EQ(failure.code, "E2BIG");
    EXPECT_EQ(failure.message, "E2BIG: odpowiedź narzędzia plikowego przekracza 8 MB");
  }
  EXPECT_TRUE(captured.empty());
  // Inside a batch the cap does not apply to one operation's output.
  session.captureBuffer.emplace();
  treeclerk::writeJSON(json::Value(std::string(treeclerk::maxJSONBytes, 'a')), session);
  EXPECT_EQ(session.captureBuffer->size(), treeclerk::maxJSONBytes + 2);
}

TEST(Protocol, HostileRequestsStayBounded) {
  // 100,000 operations: every one answered. Work that grew with the square of
  // the batch would run into ctest's time limit; a wall-clock bound here would
  // only measure how loaded the machine is.
  std::string ops;
  for (int i = 0; i < 100'000; ++i) ops += R"({"op":"exists","path":"/nonexistent"},)";
  ops.pop_back();
  const json::Value results = answerJSON(R"({"op":"batch","ops":[)" + ops + "]}");
  ASSERT_EQ(results.size(), 100'000u);
  EXPECT_EQ(results[99'999]["data"], "false");

  // An 8 MiB path is refused by the system; the error object names it.
  const std::string huge(8 << 20, 'p');
  const std::string error = answerError(R"({"op":"stat","path":")" + huge + "\"}");
  EXPECT_TRUE(error.starts_with("EIO|EIO: File name too long, stat 'ppp")) << error.substr(0, 80);

  // A NUL inside a path would cut it short; it is refused.
  EXPECT_EQ(answerError(R"({"op":"rm","path":"/tmp/\u0000x"})"), "EINVAL|EINVAL: niepoprawna wartość path");
}

class Batch : public ScratchTest {};

TEST_F(Batch, RefusesMissingOrMixedOps) {
  EXPECT_EQ(answerError(R"({"op":"batch"})"), "EINVAL|EINVAL: brak listy ops");
  EXPECT_EQ(answerError(R"({"op":"batch","ops":{}})"), "EINVAL|EINVAL: brak listy ops");
  EXPECT_EQ(answerError(R"({"op":"batch","ops":[{"op":"exists"},3]})"), "EINVAL|EINVAL: brak listy ops");
  EXPECT_EQ(answerJSON(R"({"op":"batch","ops":[]})"), json::Value::array());
}

TEST_F(Batch, DefersWhatItNeverPerformsAndRunsTheRestInOrder) {
  writeTestFile(path("f"), "abc");
  const std::string f = jsonText(path("f"));
  const json::Value results = answerJSON(R"({"op":"batch","ops":[)"
                                         R"({"op":"write","path":)" + f + R"(},)"
                                         R"({"op":"copy","path":)" + f + R"(,"to":)" + jsonText(path("g")) + R"(},)"
                                         R"({"op":"list-tree","path":)" + jsonText(root) + R"(},)"
                                         R"({"op":"rename","path":)" + f + R"(,"to":)" + jsonText(path("h")) + R"(},)"
                                         R"({"op":"read","path":)" + jsonText(path("h")) + R"(},)"
                                         R"({"op":"stat","path":)" + f + R"(}]})");
  ASSERT_EQ(results.size(), 6u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(results[i], json::parse(R"({"deferred":true})").value());
  EXPECT_EQ(results[3], json::parse(R"({"ok":true,"kind":"json","data":"true"})").value());
  EXPECT_EQ(results[4], json::parse(R"({"ok":true,"kind":"base64","data":"YWJj"})").value());
  EXPECT_EQ(results[5]["ok"], false);
  EXPECT_EQ(results[5]["code"], "ENOENT");
  EXPECT_EQ(results[5]["message"], "ENOENT: No such file or directory, stat '" + path("f") + "'");
  EXPECT_EQ(readTestFile(path("h")), "abc");
  EXPECT_FALSE(pathExists(path("g")));
}

TEST_F(Batch, ReadSizeLimitAndTotalCut) {
  writeTestFile(path("mib"), std::string(1 << 20, 'm'));
  writeTestFile(path("over"), std::string((1 << 20) + 1, 'o'));
  writeTestFile(path("one"), "1");
  auto read = [&](const std::string& name, const std::string& extra = "") {
    return R"({"op":"read","path":)" + jsonText(path(name)) + extra + "}";
  };
  json::Value results = answerJSON(R"({"op":"batch","ops":[)" + read("mib") + "," + read("over") + "," +
                                   read("over", R"(,"length":1048576)") + "," +
                                   read("over", R"(,"offset":1)") + "," +
                                   read("over", R"(,"length":"bad")") + "]}");
  EXPECT_EQ(results[0]["ok"], true);
  EXPECT_EQ(results[0]["data"].get<std::string>().size(), 4u * ((1u << 20) + 2) / 3);
  EXPECT_EQ(results[1], json::parse(R"({"deferred":true})").value());
  EXPECT_EQ(results[2]["ok"], true);
  EXPECT_EQ(results[3]["ok"], true);
  EXPECT_EQ(results[4], json::parse(R"({"deferred":true})").value());

  // 4 MiB captured still lets the next operation run; one byte more defers the rest.
  const std::string mib = read("mib");
  results = answerJSON(R"({"op":"batch","ops":[)" + mib + "," + mib + "," + mib + "," + mib + "," +
                       read("one") + "," + read("one") + R"(,{"op":"exists","path":"/"}]})");
  ASSERT_EQ(results.size(), 7u);
  EXPECT_EQ(results[4]["data"], "MQ==");
  EXPECT_EQ(results[5], json::parse(R"({"deferred":true})").value());
  EXPECT_EQ(results[6], json::parse(R"({"deferred":true})").value());
}

}  // namespace
