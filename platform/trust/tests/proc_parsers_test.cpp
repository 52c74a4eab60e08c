#include "proc_parsers.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "protection.h"

namespace trust {
namespace {

using namespace std::string_literals;

// A stat line whose start time (field 22) is 4242.
std::string statLine(const std::string& name) {
  return "123 (" + name + ") S 1 123 123 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 4242 "
         "10000 200 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

TEST(ProcParsers, startTimeIsFoundWhateverTheCommandNameHolds) {
  EXPECT_EQ(parseStartTime(statLine("helper")), 4242u);
  EXPECT_EQ(parseStartTime(statLine("a) S 1 2 3 (b")), 4242u);
  EXPECT_EQ(parseStartTime(statLine("")), 4242u);
  EXPECT_EQ(parseStartTime(statLine("x\ny")), 4242u);

  EXPECT_FALSE(parseStartTime(""));
  EXPECT_FALSE(parseStartTime("123 (helper S 1 2"));
  EXPECT_FALSE(parseStartTime("123 (helper) S 1 2 3"));          // cut short
  std::string notNumber = statLine("h");
  notNumber.replace(notNumber.find("4242"), 4, "4x42");
  EXPECT_FALSE(parseStartTime(notNumber));
  EXPECT_FALSE(parseStartTime("1 (h) S" + std::string(19, ' ') + "1 2 3"));
  // A start time beyond 64 bits does not wrap around.
  std::string huge = statLine("h");
  huge.replace(huge.find("4242"), 4, "99999999999999999999999");
  EXPECT_FALSE(parseStartTime(huge));
}

TEST(ProcParsers, aProcessIsTheSameOnlyWhenBothStartTimesWereReadAndAgree) {
  EXPECT_TRUE(isSameProcessStart(4242, 4242));
  EXPECT_FALSE(isSameProcessStart(4242, 4243));  // the pid now names a newer process
  EXPECT_FALSE(isSameProcessStart(4242, std::nullopt));  // gone meanwhile
  EXPECT_FALSE(isSameProcessStart(std::nullopt, std::nullopt));
  // Read through a live process's own entry, twice.
  std::string first, second;
  ASSERT_EQ(readBounded(AT_FDCWD, "/proc/self/stat", 4096, first), ReadResult::ok);
  ASSERT_EQ(readBounded(AT_FDCWD, "/proc/self/stat", 4096, second), ReadResult::ok);
  EXPECT_TRUE(isSameProcessStart(parseStartTime(first), parseStartTime(second)));
}

TEST(ProcParsers, tracerPidIsReadFromItsOwnLineOnly) {
  EXPECT_EQ(parseTracerPid("Name:\thelper\nState:\tS\nTracerPid:\t0\nUid:\t0\n"), 0u);
  EXPECT_EQ(parseTracerPid("TracerPid:\t517"), 517u);
  EXPECT_EQ(parseTracerPid("Name:\tTracerPid:\t0\nTracerPid:\t9\n"), 9u);
  EXPECT_FALSE(parseTracerPid("Name:\thelper\n"));
  EXPECT_FALSE(parseTracerPid("TracerPid:\t\n"));
  EXPECT_FALSE(parseTracerPid("TracerPid:\t-1\n"));
  EXPECT_FALSE(parseTracerPid(""));
}

TEST(ProcParsers, injectingVariablesAreFoundByNameNotByValue) {
  EXPECT_FALSE(hasInjectingVariable("HOME=/root\0PATH=/usr/bin\0"s));
  EXPECT_FALSE(hasInjectingVariable("NOTE=LD_PRELOAD=x\0LD_PRELOADX=1\0"s));
  EXPECT_FALSE(hasInjectingVariable(""));
  EXPECT_TRUE(hasInjectingVariable("HOME=/root\0LD_PRELOAD=\0"s));
  EXPECT_TRUE(hasInjectingVariable("LD_AUDIT=/a.so"s));
  EXPECT_TRUE(hasInjectingVariable("A=1\0\0\0LD_LIBRARY_PATH=/x"s));
  EXPECT_TRUE(hasInjectingVariable("ELECTRON_RUN_AS_NODE=1\0"s));
  EXPECT_TRUE(hasInjectingVariable("X=1\0NODE_OPTIONS"s));  // even without a value
}

TEST(ProcParsers, debuggingSwitchesAreFoundWithOneDashOrTwo) {
  EXPECT_FALSE(hasDebuggingSwitch("/opt/app/app\0--verbose\0inspect\0"s));
  EXPECT_FALSE(hasDebuggingSwitch("/opt/app/app\0-\0--\0"s));
  EXPECT_TRUE(hasDebuggingSwitch("/opt/app/app\0--inspect\0"s));
  EXPECT_TRUE(hasDebuggingSwitch("/opt/app/app\0--inspect-brk=0.0.0.0:9229"s));
  EXPECT_TRUE(hasDebuggingSwitch("app\0-remote-debugging-port=9222\0"s));
  EXPECT_TRUE(hasDebuggingSwitch("app\0--remote-debugging-pipe\0"s));
}

TEST(ProcParsers, executableMappingsAreListedOnceAndOddLinesAreKept) {
  const std::string maps =
      "55d0c0a00000-55d0c0a04000 r--p 00000000 fe:00 247476  /opt/app/bin/app\n"
      "55d0c0a04000-55d0c0a28000 r-xp 00004000 fe:00 247476  /opt/app/bin/app\n"
      "7f0000000000-7f0000001000 r-xp 00000000 00:00 0 \n"
      "7f0000001000-7f0000002000 rwxp 00000000 00:00 0\n"
      "7f0000002000-7f0000003000 r-xp 00000000 fe:00 11  /home/u/my lib.so (deleted)\n"
      "7f0000003000-7f0000004000 r-xp 00001000 fe:00 247476  /opt/app/bin/app\n"
      "7ffd00000000-7ffd00002000 r-xp 00000000 00:00 0  [vdso]\n"
      "7ffd00002000-7ffd00003000 rw-p 00000000 00:00 0  [stack]\n";
  EXPECT_EQ(executableMappedFiles(maps),
            (std::vector<std::string>{"/opt/app/bin/app", "/home/u/my lib.so (deleted)"}));

  // Truncated or malformed lines come back as "" so that callers refuse them.
  EXPECT_EQ(executableMappedFiles("7f00-7f01 r-xp 0\n"), std::vector<std::string>{""});
  EXPECT_EQ(executableMappedFiles("7f00-7f01 r-x 0 fe:00 1 /x\n"), std::vector<std::string>{""});
  EXPECT_TRUE(executableMappedFiles("").empty());
  EXPECT_TRUE(executableMappedFiles("\n\n").empty());
}

TEST(ProcParsers, readsAreBoundedAndMissingFilesUnreadable) {
  std::string text;
  EXPECT_EQ(readBounded(AT_FDCWD, "/proc/self/stat", 64 * 1024, text), ReadResult::ok);
  EXPECT_TRUE(parseStartTime(text));
  EXPECT_EQ(readBounded(AT_FDCWD, "/proc/self/maps", 10, text), ReadResult::tooLarge);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(readBounded(AT_FDCWD, "/nonexistent/file", 10, text), ReadResult::unreadable);
}

TEST(Protection, pathsAreJudgedByWholeComponents) {
  EXPECT_TRUE(isBelow("/opt/app/bin/x", "/opt/app"));
  EXPECT_FALSE(isBelow("/opt/app-evil/x", "/opt/app"));
  EXPECT_FALSE(isBelow("/opt/app", "/opt/app"));
  EXPECT_FALSE(isBelow("/opt/app/", "/opt/app"));
  EXPECT_TRUE(isBelow("/x", "/"));
  EXPECT_EQ(parentOf("/opt/app/x"), "/opt/app");
  EXPECT_EQ(parentOf("/x"), "/");

  EXPECT_TRUE(isInSystemProgramTree("/usr/bin/python3"));
  EXPECT_TRUE(isInSystemProgramTree("/usr/libexec/x/y"));
  EXPECT_FALSE(isInSystemProgramTree("/usr/binary/x"));
  EXPECT_TRUE(isSystemDirectory("/"));
  EXPECT_TRUE(isSystemDirectory("/usr/lib"));
  EXPECT_TRUE(isSystemDirectory("/opt"));
  EXPECT_FALSE(isSystemDirectory("/opt/orvan"));
  EXPECT_FALSE(isSystemDirectory("/usr/lib/orvan"));

  EXPECT_TRUE(isInPlatformProgramTree("/usr/bin/true"));
  EXPECT_FALSE(isInPlatformProgramTree("/usr/bin"));
  EXPECT_FALSE(isInPlatformProgramTree("/usr/local/bin/tool"));
  EXPECT_FALSE(isInPlatformProgramTree("/usr/games/x"));
}

}  // namespace
}  // namespace trust
