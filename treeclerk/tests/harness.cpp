#include "harness.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

Answer request(const std::string& text, const std::string& input) {
  Answer answer;
  treeclerk::Session session{
      .streams = {.writeStandardOutput = [&](std::string_view bytes) { answer.out.append(bytes); },
                  .readStandardInput = [&] { return input; }},
      .captureBuffer = std::nullopt};
  const auto outcome = treeclerk::run(text.c_str(), session);
  answer.status = outcome.status;
  answer.err = outcome.errorText;
  return answer;
}

json::Value answerJSON(const std::string& text) {
  const Answer answer = request(text);
  EXPECT_EQ(answer.status, 0) << text << " -> " << answer.err;
  auto parsed = json::parse(answer.out, {.byteEscapes = true});
  EXPECT_TRUE(parsed.has_value()) << answer.out;
  return parsed.value_or(json::Value());
}

std::string answerError(const std::string& text) {
  const Answer answer = request(text);
  EXPECT_EQ(answer.status, 1) << text << " -> " << answer.out;
  EXPECT_TRUE(answer.out.empty() || text.find("\"read\"") != std::string::npos) << answer.out;
  auto parsed = json::parse(answer.err, {.byteEscapes = true});
  if (!parsed || !parsed->is_object() || parsed->size() != 2) return "unparsed: " + answer.err;
  return (*parsed)["code"].get<std::string>() + "|" + (*parsed)["message"].get<std::string>();
}

std::string jsonText(const std::string& text) {
  return json::write(json::Value(text), {.invalidUtf8 = json::InvalidUtf8::escape}).value();
}

void writeTestFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string readTestFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool pathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

void ScratchTest::SetUp() {
  std::string pattern = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") +
                        "/treeclerk-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  char* resolved = ::realpath(pattern.c_str(), nullptr);
  root = resolved;
  std::free(resolved);
}

void ScratchTest::TearDown() {
  ::chmod(root.c_str(), 0700);
  ::nftw(
      root.c_str(),
      [](const char* file, const struct stat*, int, struct FTW*) {
        ::chmod(file, 0700);
        return ::remove(file);
      },
      16, FTW_DEPTH | FTW_PHYS);
}
