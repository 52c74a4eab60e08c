// The file operations, each against a scratch directory.

#include <cstdlib>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

class Operations : public ScratchTest {
 protected:
  // A request for `op` on a path inside the scratch directory.
  std::string on(const std::string& op, const std::string& name, const std::string& extra = "") const {
    return R"({"op":")" + op + R"(","path":)" + jsonText(name.starts_with("/") ? name : path(name)) + extra + "}";
  }
  std::string to(const std::string& name) const { return R"(,"to":)" + jsonText(path(name)); }
};

TEST_F(Operations, ExistsAndStat) {
  writeTestFile(path("file"), "12345");
  ASSERT_EQ(::symlink("missing", path("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("file", path("link").c_str()), 0);
  EXPECT_EQ(answerJSON(on("exists", "file")), true);
  EXPECT_EQ(answerJSON(on("exists", "dangling")), false);
  EXPECT_EQ(answerJSON(on("exists", "file/below")), false);

  const json::Value followed = answerJSON(on("stat", "link"));
  EXPECT_EQ(followed["size"], 5);
  EXPECT_EQ(followed["isFile"], true);
  EXPECT_EQ(followed["mode"].get<unsigned>() & S_IFMT, unsigned(S_IFREG));
  const json::Value link = answerJSON(on("stat", "link", R"(,"noFollow":true)"));
  EXPECT_EQ(link["isSymbolicLink"], true);
  EXPECT_EQ(link["size"], 4);  // the length of "file"
  EXPECT_EQ(answerError(on("lstat", "none")),
            "ENOENT|ENOENT: No such file or directory, stat '" + path("none") + "'");

  EXPECT_EQ(answerJSON(on("readlink", "link")), "file");
  EXPECT_TRUE(answerError(on("readlink", "file")).starts_with("EIO|"));
  EXPECT_EQ(answerJSON(on("realpath", "link")), path("file"));
  EXPECT_EQ(answerError(on("realpath", "none")),
            "ENOENT|ENOENT: No such file or directory, realpath '" + path("none") + "'");
}

TEST_F(Operations, ExistsWithoutSearchPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root searches every directory";
  ::mkdir(path("closed").c_str(), 0);
  EXPECT_TRUE(answerError(on("exists", "closed/x")).starts_with("EACCES|EACCES: Permission denied, stat '"));
}

TEST_F(Operations, ReaddirOrder) {
  for (const char* name : {"b", "a", "C", "f", "e\xcc\x81"}) writeTestFile(path(name), "");
  ::mkdir(path("d").c_str(), 0755);
  const json::Value entries = answerJSON(on("readdir", ""));
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry["name"]);
  // Compared in composed form: "e" + combining acute is U+00E9, after "f".
  EXPECT_EQ(names, (std::vector<std::string>{"C", "a", "b", "d", "f", "e\xcc\x81"}));
  EXPECT_EQ(entries[3], json::parse(R"({"name":"d","isDirectory":true,"isFile":false,"isSymbolicLink":false})").value());
  EXPECT_EQ(answerError(on("readdir", "none")), "ENOENT|ENOENT: No such file or directory, scandir '" + path("none") + "'");
}

TEST_F(Operations, NamesThatAreNotUtf8RoundTrip) {
  // Latin-1, a lone byte, a truncated sequence, the replacement character
  // itself, and text that merely looks like an escape: all different names.
  const std::string names[] = {"\xFF.jpg", "\xFE.jpg", "caf\xE9.jpg", "caf\xC3\xA9.jpg",
                               "\xEF\xBF\xBD.jpg", "\xE2\x82.jpg", "\\udcff.jpg"};
  ::mkdir(path("dir\xE9").c_str(), 0755);
  for (const auto& name : names) writeTestFile(path("dir\xE9/" + name), name);

  const Answer listed = request(on("readdir", "dir\xE9"));
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find(R"("\udcff.jpg")"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("\xEF\xBF\xBD.jpg\",\"isDirectory\":false,\"isFile\":true,\"isSymbolicLink\":false},{\"name\":\"\xEF\xBF\xBD"),
            std::string::npos);
  std::set<std::string> reported;
  for (const auto& entry : answerJSON(on("readdir", "dir\xE9"))) {
    const std::string name = entry["name"].get<std::string>();
    reported.insert(name);
    // The name as reported reaches the same file in the next request.
    EXPECT_EQ(request(on("read", "dir\xE9/" + name)).out, name);
    EXPECT_EQ(answerJSON(on("stat", "dir\xE9/" + name))["size"], name.size());
  }
  EXPECT_EQ(reported, std::set<std::string>(std::begin(names), std::end(names)));

  std::set<std::string> walked;
  const json::Value tree = answerJSON(on("list-tree", ""));
  for (const auto& entry : tree["entries"]) walked.insert(entry["path"].get<std::string>());
  EXPECT_TRUE(walked.contains(path("dir\xE9")));
  for (const auto& name : names) EXPECT_TRUE(walked.contains(path("dir\xE9/" + name))) << name;

  // Paths written by the program and paths in its messages travel the same way.
  EXPECT_EQ(answerJSON(on("realpath", "dir\xE9/\xFF.jpg")), path("dir\xE9/\xFF.jpg"));
  EXPECT_EQ(answerJSON(on("rename", "dir\xE9/\xFE.jpg", to("dir\xE9/\xFD"))), true);
  EXPECT_EQ(readTestFile(path("dir\xE9/\xFD")), "\xFE.jpg");
  EXPECT_EQ(answerError(on("read", "dir\xE9/\xFC")),
            "ENOENT|ENOENT: No such file or directory, open '" + path("dir\xE9/\xFC") + "'");
  const Answer batch = request(R"({"op":"batch","ops":[)" + on("readdir", "dir\xE9") + "]}");
  const json::Value inner = json::parse(json::parse(batch.out).value()[0]["data"].get<std::string>(),
                                        {.byteEscapes = true}).value();
  EXPECT_EQ(inner.size(), std::size(names));
}

TEST_F(Operations, ListTreeOrderAndTruncation) {
  writeTestFile(path("a"), "aa");
  writeTestFile(path("b"), "");
  ::mkdir(path("d").c_str(), 0755);
  writeTestFile(path("d/x"), "");
  auto walk = [&](const std::string& extra) {
    const json::Value tree = answerJSON(on("list-tree", "", extra));
    std::string order;
    for (const auto& entry : tree["entries"]) order += entry["path"].get<std::string>().substr(root.size() + 1) + " ";
    return order + (tree["truncated"].get<bool>() ? "truncated" : "complete");
  };
  EXPECT_EQ(walk(""), "d b a d/x complete");
  EXPECT_EQ(walk(R"(,"maxEntries":2)"), "d b truncated");
  EXPECT_EQ(walk(R"(,"maxEntries":3)"), "d b a truncated");
  EXPECT_EQ(walk(R"(,"maxEntries":4)"), "d b a d/x complete");
  EXPECT_EQ(walk(R"(,"maxEntries":100000)"), "d b a d/x complete");
  const json::Value first = answerJSON(on("list-tree", ""))["entries"][2];
  EXPECT_EQ(first["size"], 2);
  EXPECT_EQ(first["isDir"], false);
  EXPECT_EQ(answerError(on("list-tree", "", R"(,"maxEntries":0)")), "EINVAL|EINVAL: maxEntries poza zakresem");
  EXPECT_EQ(answerError(on("list-tree", "", R"(,"maxEntries":100001)")), "EINVAL|EINVAL: maxEntries poza zakresem");
}

TEST_F(Operations, StatfsOfAPathNotYetThere) {
  const json::Value here = answerJSON(on("statfs", ""));
  const json::Value later = answerJSON(on("statfs", "x/y/z/"));
  EXPECT_GT(here["totalBytes"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(here["totalBytes"], later["totalBytes"]);
  EXPECT_EQ(answerJSON(on("statfs", "x/../y/./z"))["totalBytes"], here["totalBytes"]);
  EXPECT_EQ(answerError(R"({"op":"statfs","path":"not/there"})"),
            "ENOENT|ENOENT: No such file or directory, statfs 'not/there'");
}

TEST_F(Operations, ReadWithOffsetAndLength) {
  writeTestFile(path("f"), "0123456789");
  EXPECT_EQ(request(on("read", "f")).out, "0123456789");
  EXPECT_EQ(request(on("read", "f", R"(,"offset":3,"length":4)")).out, "3456");
  EXPECT_EQ(request(on("read", "f", R"(,"offset":8,"length":40)")).out, "89");
  const Answer empty = request(on("read", "f", R"(,"offset":0,"length":0)"));
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(request(on("read", "f", R"(,"offset":99)")).out, "");
  EXPECT_EQ(answerError(on("read", "")), "EISDIR|EISDIR: Is a directory, read '" + root + "/'");
}

TEST_F(Operations, WriteReplacesWhole) {
  const Answer created = request(on("write", "f", R"(,"mode":384)"), "new data");
  EXPECT_EQ(created.out, "true");
  EXPECT_EQ(readTestFile(path("f")), "new data");
  struct stat info;
  ::stat(path("f").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  request(on("write", "f", R"(,"append":true)"), "+more");
  EXPECT_EQ(readTestFile(path("f")), "new data+more");
  ::stat(path("f").c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // an existing file keeps its permissions
  ::symlink("f", path("link").c_str());
  request(on("write", "link"), "through");
  EXPECT_EQ(readTestFile(path("f")), "through");
  EXPECT_EQ(answerError(on("write", "")), "EISDIR|EISDIR: Is a directory, open '" + root + "/'");
  EXPECT_EQ(answerError(on("write", "f", R"(,"mode":65536)")), "EINVAL|EINVAL: niepoprawna wartość mode");
  EXPECT_EQ(answerError(on("write", "no/f")).substr(0, 21), "ENOENT|ENOENT: No suc");
  EXPECT_EQ(answerJSON(on("readdir", "")).size(), 2u);  // no temporary file left
}

TEST_F(Operations, Sha256AndCopyHash) {
  writeTestFile(path("src"), "abc");
  const json::Value expected = json::parse(
      R"({"sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad","size":3})").value();
  EXPECT_EQ(answerJSON(on("sha256", "src")), expected);
  EXPECT_EQ(answerJSON(on("copy-hash", "src", to("dst"))), expected);
  EXPECT_EQ(readTestFile(path("dst")), "abc");
  EXPECT_FALSE(pathExists(path("dst.partial")));

  const std::string badSuffix = "EINVAL|EINVAL: niepoprawny partialSuffix";
  EXPECT_EQ(answerError(on("copy-hash", "src", to("x") + R"(,"partialSuffix":"/p")")), badSuffix);
  EXPECT_EQ(answerError(on("copy-hash", "src", to("x") + R"(,"partialSuffix":"")")), badSuffix);
  EXPECT_EQ(answerError(on("copy-hash", "src", to("x") + R"(,"partialSuffix":")" + std::string(65, 's') + "\"")),
            badSuffix);
  EXPECT_EQ(answerError(on("copy-hash", "src")), "EINVAL|EINVAL: brak ścieżki docelowej");
  EXPECT_FALSE(pathExists(path("x")));

  // A source that fails when read: the temporary file goes, the destination stays.
  ::mkdir(path("dir").c_str(), 0755);
  EXPECT_EQ(answerError(on("copy-hash", "dir", to("dst") + R"(,"partialSuffix":".tmp")")),
            "EISDIR|EISDIR: Is a directory, read '" + path("dir") + "'");
  EXPECT_EQ(readTestFile(path("dst")), "abc");
  EXPECT_FALSE(pathExists(path("dst.tmp")));
}

TEST_F(Operations, MkdirAndMkdtemp) {
  EXPECT_EQ(answerJSON(on("mkdir", "a/b/c", R"(,"recursive":true)")), true);
  EXPECT_EQ(answerJSON(on("mkdir", "a/b/c", R"(,"recursive":true)")), true);
  EXPECT_EQ(answerError(on("mkdir", "a")), "EEXIST|EEXIST: File exists, mkdir '" + path("a") + "'");
  writeTestFile(path("a/file"), "");
  EXPECT_EQ(answerError(on("mkdir", "a/file/x/y", R"(,"recursive":true)")),
            "EEXIST|EEXIST: File exists, mkdir '" + path("a/file") + "'");
  EXPECT_EQ(answerError(on("mkdir", "m", R"(,"mode":-1)")), "EINVAL|EINVAL: niepoprawna wartość mode");
  EXPECT_FALSE(pathExists(path("m")));

  const std::string made = answerJSON(on("mkdtemp", "t-"));
  EXPECT_EQ(made.size(), path("t-").size() + 6);
  EXPECT_TRUE(made.starts_with(path("t-")));
  EXPECT_TRUE(answerJSON(on("readdir", made)).empty());
}

TEST_F(Operations, RemoveCallNames) {
  EXPECT_EQ(answerJSON(on("rm", "none", R"(,"force":true)")), true);
  EXPECT_EQ(answerError(on("rm", "none")), "ENOENT|ENOENT: No such file or directory, rm '" + path("none") + "'");
  ::mkdir(path("empty").c_str(), 0755);
  EXPECT_EQ(answerJSON(on("rm", "empty")), true);
  ::mkdir(path("full").c_str(), 0755);
  ::mkdir(path("full/sub").c_str(), 0755);
  writeTestFile(path("full/sub/f"), "");
  ::symlink(root.c_str(), path("full/up").c_str());
  EXPECT_EQ(answerError(on("rm", "full")),
            "ENOTEMPTY|ENOTEMPTY: Directory not empty, rmdir '" + path("full") + "'");
  EXPECT_EQ(answerJSON(on("rm", "full", R"(,"recursive":true)")), true);
  EXPECT_FALSE(pathExists(path("full")));
  EXPECT_TRUE(pathExists(root));  // the link was removed, not followed
}

TEST_F(Operations, CopyWithAttributes) {
  ::mkdir(path("src").c_str(), 0700);
  writeTestFile(path("src/f"), "contents");
  ::chmod(path("src/f").c_str(), 0640);
  request(on("utimes", "src/f", R"(,"atimeMs":1000000000500,"mtimeMs":1200000000250.5)"));
  EXPECT_EQ(answerError(on("copy", "src", to("dst"))),
            "EISDIR|EISDIR: illegal operation on a directory, copy '" + path("src") + "'");
  EXPECT_EQ(answerJSON(on("copy", "src", to("dst") + R"(,"recursive":true)")), true);
  const json::Value copied = answerJSON(on("stat", "dst/f"));
  EXPECT_EQ(readTestFile(path("dst/f")), "contents");
  EXPECT_EQ(copied["mode"].get<unsigned>() & 07777, 0640u);
  EXPECT_DOUBLE_EQ(copied["mtimeMs"].get<double>(), 1200000000250.5);
  EXPECT_DOUBLE_EQ(copied["atimeMs"].get<double>(), 1000000000500.0);
  EXPECT_EQ(answerJSON(on("stat", "dst"))["mode"].get<unsigned>() & 0777, 0755u & ~[] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return unsigned(mask);
  }());
  // Replacing an existing file; a directory copied into itself is refused.
  writeTestFile(path("other"), "old");
  EXPECT_EQ(answerJSON(on("copy", "src/f", to("other"))), true);
  EXPECT_EQ(readTestFile(path("other")), "contents");
  EXPECT_TRUE(answerError(on("copy", "src", to("src/inner") + R"(,"recursive":true)")).starts_with("EINVAL|"));
  // A link at the destination leads to the file that is replaced; it stays.
  ::symlink("other", path("via-link").c_str());
  writeTestFile(path("src/g"), "through the link");
  EXPECT_EQ(answerJSON(on("copy", "src/g", to("via-link"))), true);
  EXPECT_EQ(readTestFile(path("other")), "through the link");
  EXPECT_TRUE(answerJSON(on("lstat", "via-link"))["isSymbolicLink"].get<bool>());
}

TEST_F(Operations, UtimesAndChmod) {
  writeTestFile(path("f"), "");
  auto times = [&](const std::string& mtime) {
    request(on("utimes", "f", R"(,"atimeMs":0,"mtimeMs":)" + mtime));
    return answerJSON(on("stat", "f"))["mtimeMs"].get<double>();
  };
  EXPECT_DOUBLE_EQ(times("1500.5"), 1500.5);
  EXPECT_DOUBLE_EQ(times("-1500.5"), -1500.5);  // -2 s and 499,500 µs
  EXPECT_DOUBLE_EQ(times("-0.25"), -0.25);
  EXPECT_DOUBLE_EQ(times("999.9999999"), 1000.0);
  const std::string invalid = "EINVAL|EINVAL: niepoprawny czas pliku";
  EXPECT_EQ(answerError(on("utimes", "f", R"(,"atimeMs":0)")), invalid);
  EXPECT_EQ(answerError(on("utimes", "f", R"(,"atimeMs":0,"mtimeMs":"1")")), invalid);
  EXPECT_EQ(answerError(on("utimes", "f", R"(,"atimeMs":0,"mtimeMs":1e300)")), invalid);
  EXPECT_EQ(answerError(on("utimes", "f", R"(,"atimeMs":-1e300,"mtimeMs":0)")), invalid);
  EXPECT_EQ(answerError(on("utimes", "none", R"(,"atimeMs":0,"mtimeMs":0)")),
            "ENOENT|ENOENT: No such file or directory, utimes '" + path("none") + "'");

  EXPECT_EQ(answerJSON(on("chmod", "f", R"(,"mode":420)")), true);
  EXPECT_EQ(answerJSON(on("stat", "f"))["mode"].get<unsigned>() & 07777, 0644u);
  EXPECT_EQ(answerError(on("chmod", "f", R"(,"mode":70000)")), "EINVAL|EINVAL: niepoprawna wartość mode");
  EXPECT_EQ(answerJSON(on("chmod", "f", R"(,"mode":"x")")), true);  // not a whole number: 0777
  EXPECT_EQ(answerJSON(on("stat", "f"))["mode"].get<unsigned>() & 07777, 0777u);
}

TEST_F(Operations, Trash) {
  // GLib keeps the first home and data directories it sees: one test.
  ::mkdir(path("home").c_str(), 0700);
  ::setenv("HOME", path("home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", path("home/data").c_str(), 1);
  writeTestFile(path("photo.jpg"), "jpeg");
  ::mkdir(path("album").c_str(), 0755);
  writeTestFile(path("album/x"), "x");

  const std::string trash = path("home/data/Trash");
  EXPECT_EQ(answerJSON(on("trash", "photo.jpg"))["trashedPath"], trash + "/files/photo.jpg");
  EXPECT_EQ(readTestFile(trash + "/files/photo.jpg"), "jpeg");
  EXPECT_NE(readTestFile(trash + "/info/photo.jpg.trashinfo").find("Path=" + path("photo.jpg")), std::string::npos);
  EXPECT_FALSE(pathExists(path("photo.jpg")));

  EXPECT_EQ(answerJSON(on("trash", "album"))["trashedPath"], trash + "/files/album");
  EXPECT_EQ(readTestFile(trash + "/files/album/x"), "x");
  // A second item of the same name gets a name of its own.
  writeTestFile(path("photo.jpg"), "second");
  const std::string second = answerJSON(on("trash", "photo.jpg"))["trashedPath"];
  EXPECT_NE(second, trash + "/files/photo.jpg");
  EXPECT_EQ(readTestFile(second), "second") << second;

  EXPECT_EQ(answerError(on("trash", "none")), "ENOENT|ENOENT: No such file or directory, trash '" + path("none") + "'");
}

TEST_F(Operations, VolumeIdentity) {
  EXPECT_EQ(answerError(R"({"op":"volume-identity"})"), "EINVAL|EINVAL: brak ścieżki woluminu");
  EXPECT_EQ(answerError(R"({"op":"volume-identity","path":"/proc"})"), "ENOTSUP|ENOTSUP: brak trwałego UUID woluminu");
  EXPECT_TRUE(answerError(on("volume-identity", "none")).starts_with("EIO|"));
  // The scratch volume: a UUID when the system can tell one, else a clear error.
  const Answer answer = request(on("volume-identity", ""));
  if (answer.status == 0) {
    const auto uuid = json::parse(answer.out).value()["volumeUuid"].get<std::string>();
    EXPECT_EQ(treeclerk::canonicalUuid(uuid), uuid);
  } else {
    EXPECT_TRUE(answer.err.starts_with(R"({"code":"ENOTSUP")") || answer.err.starts_with(R"({"code":"EIO")"));
  }
  EXPECT_EQ(treeclerk::canonicalUuid("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"), "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
  EXPECT_EQ(treeclerk::canonicalUuid("ABCD-1234"), std::nullopt);  // a FAT serial number is no UUID
  EXPECT_EQ(treeclerk::canonicalUuid("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8fg"), std::nullopt);
}

}  // namespace
