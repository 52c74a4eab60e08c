// Tool launching end to end: permission, arguments, environment, working
// directory, input, output, time limit and the final reply.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "harness.h"

using namespace kwtest;

namespace {

json::Value error(const std::string& code, const std::string& message) {
  return {{"ok", false}, {"error", code}, {"message", message}};
}

json::Value finished(int exit, int signal) { return {{"ok", true}, {"exit", exit}, {"signal", signal}}; }

json::Value shell(const std::string& script) {
  return {{"op", "run"}, {"tool", "/bin/sh"}, {"args", {"-c", script}}};
}

class BrokerRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(broker.start(), 0); }
  Broker broker;
};

}  // namespace

TEST_F(BrokerRun, RefusedBeforeAnythingStarts) {
  KW_VERIFIED(stream, broker);
  std::string foreign = broker.home + "/true";
  std::filesystem::copy_file("/bin/true", foreign);
  const json::Value notPermitted = error("tool", "Wolno uruchomić tylko narzędzie z pakietu Orvan albo program Apple.");
  const json::Value missing = error("tool", "Brak narzędzia do uruchomienia.");
  struct Case {
    json::Value request, reply;
  };
  std::vector<Case> cases = {
      {{{"op", "run"}, {"tool", 5}}, error("request", "Brak narzędzia.")},
      {{{"op", "run"}, {"tool", "echo"}}, error("tool", "Narzędzie musi mieć ścieżkę bezwzględną.")},
      {{{"op", "run"}, {"tool", "/no/such/tool"}}, missing},
      {{{"op", "run"}, {"tool", "/usr/bin"}}, missing},
      {{{"op", "run"}, {"tool", "/etc/passwd"}}, missing},
      {{{"op", "run"}, {"tool", foreign}}, notPermitted},
      {{{"op", "run"}, {"tool", "/bin/true"}, {"cwd", "tmp"}}, error("request", "Katalog roboczy nie istnieje.")},
      {{{"op", "run"}, {"tool", "/bin/true"}, {"cwd", "/no/such/dir"}}, error("request", "Katalog roboczy nie istnieje.")},
      {{{"op", "run"}, {"tool", "/bin/true"}, {"cwd", "/etc/passwd"}}, error("request", "Katalog roboczy nie istnieje.")},
      // The tool is judged before the working directory.
      {{{"op", "run"}, {"tool", foreign}, {"cwd", "/no/such/dir"}}, notPermitted},
  };
  for (const Case& c : cases) EXPECT_EQ(stream.request(c.request), c.reply) << c.request.dump();
  for (const std::string& message : broker.logMessages()) EXPECT_FALSE(message.starts_with("run: ")) << message;
}

TEST_F(BrokerRun, ArgumentsExitAndSignals) {
  KW_VERIFIED(stream, broker);
  RunResult echo = runTool(stream, {{"op", "run"}, {"tool", "/bin/echo"}, {"args", {1, "a", "b c"}}});
  EXPECT_EQ(echo.reply, finished(0, 0));
  EXPECT_EQ(echo.out, "a b c\n");
  EXPECT_EQ(runTool(stream, shell("exit 3")).reply, finished(3, 0));
  EXPECT_EQ(runTool(stream, shell("kill -SEGV $$")).reply, finished(-1, 11));
  RunResult both = runTool(stream, shell("echo out; echo err >&2"));
  EXPECT_EQ(both.out, "out\n");
  EXPECT_EQ(both.err, "err\n");
  std::string last = broker.logMessages().back();
  EXPECT_TRUE(last.starts_with("run: dash dla org.orvan.library (pid ")) << last;
}

TEST_F(BrokerRun, ChildStartsClean) {
  KW_VERIFIED(stream, broker);
  // Only the three standard streams, default signal handling, a group of its own.
  EXPECT_EQ(runTool(stream, shell("ls /proc/$$/fd")).out, "0\n1\n2\n");
  std::string ignored = runTool(stream, shell("grep SigIgn /proc/$$/status")).out;
  ASSERT_TRUE(ignored.starts_with("SigIgn:\t")) << ignored;
  EXPECT_EQ(std::stoull(ignored.substr(8), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << "SIGPIPE stays ignored";
  RunResult group = runTool(stream, shell("cut -d' ' -f5 /proc/$$/stat; echo $$"));
  std::istringstream lines(group.out);
  std::string pgid, pid;
  lines >> pgid >> pid;
  EXPECT_EQ(pgid, pid);
}

TEST_F(BrokerRun, Environment) {
  KW_VERIFIED(stream, broker);
  RunResult plain = runTool(stream, {{"op", "run"}, {"tool", "/usr/bin/env"}});
  EXPECT_EQ(plain.out, "HOME=" + broker.home + "\nLANG=pl_PL.UTF-8\nPATH=/usr/bin:/bin:/usr/sbin:/sbin\nUSER=kwtest\n");
  json::Value env = {{"PATH", "/opt/bin"}, {"lower", "x"}, {"DYLD_INSERT_LIBRARIES", "x"}, {"LD_PRELOAD", "x"},
                     {"LD_AUDIT", "x"}, {"PYTHONPATH", "x"}, {"PERL5LIB", "x"}, {"NODE_OPTIONS", "x"},
                     {"BASH_ENV", "x"}, {"ENV", "x"}, {"IFS", "x"}, {std::string(129, 'K'), "x"},
                     {std::string(128, 'K'), "long"}, {"_OK9", "yes"}, {"9BAD", "x"}, {"NUMBER", 5}, {"LANG", "C"},
                     {"CUT", std::string("a\0b", 3)}};
  RunResult custom = runTool(stream, {{"op", "run"}, {"tool", "/usr/bin/env"}, {"env", env}});
  std::set<std::string> lines;
  std::istringstream text(custom.out);
  for (std::string line; std::getline(text, line);) lines.insert(line);
  EXPECT_EQ(lines, (std::set<std::string>{"HOME=" + broker.home, "LANG=C", "PATH=/opt/bin", "USER=kwtest",
                                          "_OK9=yes", std::string(128, 'K') + "=long"}));
}

TEST_F(BrokerRun, WorkingDirectory) {
  KW_VERIFIED(stream, broker);
  EXPECT_EQ(runTool(stream, {{"op", "run"}, {"tool", "/bin/pwd"}, {"cwd", "/usr/share"}}).out, "/usr/share\n");
  EXPECT_EQ(runTool(stream, {{"op", "run"}, {"tool", "/bin/pwd"}}).out,
            std::filesystem::current_path().string() + "\n");
}

TEST_F(BrokerRun, Input) {
  KW_VERIFIED(stream, broker);
  std::string bytes;
  for (int i = 0; i < 3000000; ++i) bytes += static_cast<char>(i * 7 % 251);
  RunResult echoed = runTool(stream, {{"op", "run"}, {"tool", "/bin/cat"}, {"stdin", base64(bytes)}});
  EXPECT_EQ(echoed.reply, finished(0, 0));
  EXPECT_TRUE(echoed.out == bytes) << echoed.out.size();
  EXPECT_GT(echoed.events, 1);
  for (const char* invalid : {"aGVsbG8", "aGVs\nbG8=", "aGVsbG8=!", "a=Vs"}) {
    RunResult empty = runTool(stream, {{"op", "run"}, {"tool", "/bin/cat"}, {"stdin", invalid}});
    EXPECT_EQ(empty.reply, finished(0, 0));
    EXPECT_EQ(empty.out, "") << invalid;
  }
  // Without "stdin" the child sees the end of its input at once.
  EXPECT_EQ(runTool(stream, {{"op", "run"}, {"tool", "/usr/bin/wc"}, {"args", {"-c"}}}).out, "0\n");
  // A child that stops reading early does not harm the broker.
  RunResult early = runTool(stream, {{"op", "run"}, {"tool", "/usr/bin/head"}, {"args", {"-c", "3"}}, {"stdin", base64(bytes)}});
  EXPECT_EQ(early.reply, finished(0, 0));
  EXPECT_EQ(early.out, bytes.substr(0, 3));
  EXPECT_EQ(stream.request({{"op", "secret.get"}, {"name", "still"}})["ok"], true);
}

TEST_F(BrokerRun, LargeOutputArrivesWholeBeforeTheReply) {
  KW_VERIFIED(stream, broker);
  RunResult flood = runTool(stream, {{"op", "run"}, {"tool", "/usr/bin/head"}, {"args", {"-c", "20000000", "/dev/urandom"}}});
  EXPECT_EQ(flood.reply, finished(0, 0));
  EXPECT_EQ(flood.out.size(), 20000000u);
  EXPECT_GT(flood.events, 10);
}

TEST_F(BrokerRun, TimeLimit) {
  KW_VERIFIED(stream, broker);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(runTool(stream, {{"op", "run"}, {"tool", "/bin/sleep"}, {"args", {"10"}}, {"timeoutMs", 100}}).reply,
            finished(-1, 15));
  // Well before the sleep would end by itself, with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  // The whole process group goes: a grandchild holding the output open ends too.
  started = std::chrono::steady_clock::now();
  json::Value stubborn = shell("trap '' TERM; sleep 10 & wait; sleep 10");
  stubborn["timeoutMs"] = 100;
  EXPECT_EQ(runTool(stream, stubborn).reply, finished(-1, 9));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(waited, 3.0);
  EXPECT_LT(waited, 9.5);  // killed, not left to finish its sleeps
  // No limit for zero, negative or non-numeric values.
  for (const json::Value& none : {json::Value(0), json::Value(-5), json::Value("100")}) {
    json::Value request = shell("sleep 0.2");
    request["timeoutMs"] = none;
    EXPECT_EQ(runTool(stream, request).reply, finished(0, 0)) << none.dump();
  }
}

TEST_F(BrokerRun, BundleTools) {
  KW_VERIFIED(stream, broker);
  std::string contents = testBundle() + "/Contents";
  std::filesystem::copy_file("/bin/echo", contents + "/tool", std::filesystem::copy_options::overwrite_existing);
  ::chmod((contents + "/tool").c_str(), 0755);
  RunResult own = runTool(stream, {{"op", "run"}, {"tool", contents + "/tool"}, {"args", {"bundled"}}});
  EXPECT_EQ(own.out, "bundled\n");
  // A link inside the bundle is judged by its target.
  std::string foreign = broker.home + "/true";
  std::filesystem::copy_file("/bin/true", foreign);
  std::filesystem::remove(contents + "/outside");
  std::filesystem::create_symlink(foreign, contents + "/outside");
  EXPECT_EQ(stream.request({{"op", "run"}, {"tool", contents + "/outside"}}),
            error("tool", "Wolno uruchomić tylko narzędzie z pakietu Orvan albo program Apple."));
  std::filesystem::remove(contents + "/system");
  std::filesystem::create_symlink("/bin/echo", contents + "/system");
  EXPECT_EQ(runTool(stream, {{"op", "run"}, {"tool", contents + "/system"}, {"args", {"linked"}}}).out, "linked\n");
  // A bundle tool others could change fails the second check.
  ::chmod((contents + "/tool").c_str(), 0775);
  EXPECT_EQ(stream.request({{"op", "run"}, {"tool", contents + "/tool"}}),
            error("unauthorized", "Pliki aplikacji różnią się od podpisanych."));
  std::filesystem::remove(contents + "/tool");
}
