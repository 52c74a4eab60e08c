#include "minipic.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <tuple>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace minipic;

TEST(Requests, DecodingTakesOnlyObjectsWithTheRequiredTypes) {
  auto request = decodeRequest(
      R"({"id":"7","inputPath":"/a.jpg","outputPath":"/b.jpg","maxEdge":300,"quality":0.7,"x":[1]})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->id, "7");
  EXPECT_EQ(request->inputPath, "/a.jpg");
  EXPECT_EQ(request->outputPath, "/b.jpg");
  EXPECT_EQ(request->maxEdge, 300);
  EXPECT_EQ(request->quality, 0.7);

  const std::string paths = R"("id":"a","inputPath":"/a","outputPath":"/b")";
  EXPECT_TRUE(decodeRequest("{" + paths + R"(,"maxEdge":256.0})"));
  EXPECT_EQ(decodeRequest("{" + paths + R"(,"maxEdge":-3,"quality":null})")->quality, std::nullopt);
  EXPECT_EQ(decodeRequest("{" + paths + R"(,"maxEdge":64,"quality":1})")->quality, 1.0);
  for (const std::string& bad :
       {std::string(""), std::string("not json"), std::string("[1]"), std::string("\"x\""),
        "{" + paths + "}", "{" + paths + R"(,"maxEdge":2.5})", "{" + paths + R"(,"maxEdge":"256"})",
        "{" + paths + R"(,"maxEdge":null})", "{" + paths + R"(,"maxEdge":1e30})",
        "{" + paths + R"(,"maxEdge":256,"quality":"high"})",
        std::string(R"({"id":1,"inputPath":"/a","outputPath":"/b","maxEdge":256})"),
        std::string(R"({"id":"a","inputPath":"/a","maxEdge":256})"),
        "{" + paths + R"(,"maxEdge":256} trailing)"})
    EXPECT_FALSE(decodeRequest(bad)) << bad;
}

TEST(Requests, ClampsAndResponseLines) {
  EXPECT_EQ(clampedEdge(10), 64);
  EXPECT_EQ(clampedEdge(-5), 64);
  EXPECT_EQ(clampedEdge(300), 300);
  EXPECT_EQ(clampedEdge(10000), 4096);
  EXPECT_EQ(clampedQuality(1.0), 0.95);
  EXPECT_EQ(clampedQuality(0.1), 0.5);
  EXPECT_EQ(clampedQuality(std::nullopt), 0.82);
  EXPECT_EQ(clampedQuality(0.6), 0.6);

  EXPECT_EQ(encodeResponse({"a/b", true, 256, 171, std::nullopt}),
            R"({"id":"a\/b","ok":true,"width":256,"height":171})");
  EXPECT_EQ(encodeResponse(ThumbnailResponse::failure("", "invalid_request")),
            R"({"id":"","ok":false,"error":"invalid_request"})");
}

TEST(Lines, LongLinesAreSkippedWithoutBeingKept) {
  char pattern[] = "/tmp/minipic_lines.XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  const std::string huge(maxLineBytes * 3 + 17, 'x');
  const std::string input = "one\r\n\n" + huge + "\nafter\n" + std::string(maxLineBytes, 'y') + "\nlast";
  ASSERT_EQ(write(fd, input.data(), input.size()), ssize_t(input.size()));
  lseek(fd, 0, SEEK_SET);
  LineReader reader(fd);
  std::string line;
  using R = LineReader::Result;
  EXPECT_EQ(reader.next(line), R::line);
  EXPECT_EQ(line, "one");
  EXPECT_EQ(reader.next(line), R::line);
  EXPECT_EQ(line, "");
  EXPECT_EQ(reader.next(line), R::tooLong);
  EXPECT_LE(line.capacity(), maxLineBytes + 2);
  EXPECT_EQ(reader.next(line), R::line);
  EXPECT_EQ(line, "after");
  EXPECT_EQ(reader.next(line), R::line);  // exactly at the limit
  EXPECT_EQ(line.size(), maxLineBytes);
  EXPECT_EQ(reader.next(line), R::line);  // no line feed at the end
  EXPECT_EQ(line, "last");
  EXPECT_EQ(reader.next(line), R::end);
  close(fd);
  unlink(pattern);
}

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xffffffff;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
  }
  return ~crc;
}

class Worker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("minipic_test"), 0);
    vips_cache_set_max(0);
  }
  void SetUp() override {
    char pattern[] = "/tmp/minipic_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs minipic on the given standard input; its output lines.
  std::vector<std::string> serve(const std::string& input, std::string* errors = nullptr) {
    std::ofstream(dir_ + "/stdin", std::ios::binary) << input;
    const std::string command = std::string(ORVAN_BIN_DIR) + "/minipic <" + dir_ + "/stdin >" +
                                dir_ + "/stdout 2>" + dir_ + "/stderr";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (errors) *errors = slurp(dir_ + "/stderr");
    std::vector<std::string> lines;
    std::istringstream out(slurp(dir_ + "/stdout"));
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }

  std::string request(const std::string& id, const std::string& input, const std::string& output,
                      const std::string& extra = R"("maxEdge":100)") {
    return R"({"id":")" + id + R"(","inputPath":")" + input + R"(","outputPath":")" + output +
           R"(",)" + extra + "}\n";
  }

  // Left half red, right half blue, `orientation` recorded when given.
  std::string picture(const std::string& name, int width, int height, int orientation = 0) {
    std::vector<std::uint8_t> samples;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        for (int c : x < width / 2 ? std::vector<int>{255, 0, 0} : std::vector<int>{0, 0, 255})
          samples.push_back(std::uint8_t(c));
    VipsImage* raw = vips_image_new_from_memory_copy(samples.data(), samples.size(), width, height, 3,
                                                     VIPS_FORMAT_UCHAR);
    VipsImage* image = nullptr;
    vips_copy(raw, &image, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
    g_object_unref(raw);
    if (orientation) vips_image_set_int(image, VIPS_META_ORIENTATION, orientation);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0);
    g_object_unref(image);
    return path;
  }

  std::string dir_;
};

struct Pixel {
  int width = 0, height = 0;
  double red = 0, blue = 0;  // of the pixel at (x, y)
};

Pixel probe(const std::string& path, int x, int y) {
  Pixel p;
  VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
  if (!image) return p;
  p.width = image->Xsize;
  p.height = image->Ysize;
  double* values = nullptr;
  int count = 0;
  if (vips_getpoint(image, &values, &count, x, y, nullptr) == 0 && count >= 3) {
    p.red = values[0];
    p.blue = values[2];
  }
  g_free(values);
  g_object_unref(image);
  return p;
}

TEST_F(Worker, AnswersEveryLineInOrderWithItsErrorCode) {
  const std::string photo = picture("photo.jpg", 400, 300);
  const std::string data = slurp(photo);
  std::ofstream(dir_ + "/cut.jpg", std::ios::binary).write(data.data(), std::streamsize(data.size() / 3));
  // A PNG declaring 100000 × 100000 pixels.
  std::string png = slurp(picture("tiny.png", 1, 1));
  const std::size_t ihdr = png.find("IHDR");
  for (std::size_t i : {ihdr + 4, ihdr + 8}) png.replace(i, 4, std::string("\x00\x01\x86\xa0", 4));
  const std::uint32_t crc = crc32(reinterpret_cast<const std::uint8_t*>(&png[ihdr]), 17);
  for (int i = 0; i < 4; ++i) png[ihdr + 17 + i] = char(crc >> (24 - 8 * i));
  std::ofstream(dir_ + "/bomb.png", std::ios::binary) << png;
  fs::create_directory(dir_ + "/taken.jpg");

  std::string input;
  input += request("ok", photo, dir_ + "/t1.jpg");
  input += "\n";
  input += "not json\n";
  input += std::string(20 << 20, '{') + "\n";  // 20 MB
  input += request("missing", dir_ + "/nothing.jpg", dir_ + "/t2.jpg");
  input += request("folder", dir_, dir_ + "/t3.jpg");
  input += request("cut", dir_ + "/cut.jpg", dir_ + "/t4.jpg");
  input += request("bomb", dir_ + "/bomb.png", dir_ + "/t5.jpg");
  input += request("taken", photo, dir_ + "/taken.jpg");
  input += request("nodir", photo, dir_ + "/no/such/dir/t6.jpg");
  input += request("frac", photo, dir_ + "/t7.jpg", R"("maxEdge":12.5)");
  input += request("last", photo, dir_ + "/t8.jpg", R"("maxEdge":10)");
  std::string errors;
  const auto lines = serve(input, &errors);
  const std::vector<std::string> expected = {
      R"({"id":"ok","ok":true,"width":100,"height":75})",
      R"({"id":"","ok":false,"error":"invalid_request"})",
      R"({"id":"","ok":false,"error":"invalid_request"})",
      R"({"id":"","ok":false,"error":"invalid_request"})",
      R"({"id":"missing","ok":false,"error":"cannot_read_source"})",
      R"({"id":"folder","ok":false,"error":"cannot_read_source"})",
      R"({"id":"cut","ok":false,"error":"cannot_decode_thumbnail"})",
      R"({"id":"bomb","ok":false,"error":"cannot_decode_thumbnail"})",
      R"({"id":"taken","ok":false,"error":"cannot_create_destination"})",
      R"({"id":"nodir","ok":false,"error":"cannot_create_destination"})",
      R"({"id":"","ok":false,"error":"invalid_request"})",
      R"({"id":"last","ok":true,"width":64,"height":48})",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(errors, "");
  EXPECT_FALSE(fs::exists(dir_ + "/no"));
  EXPECT_EQ(probe(dir_ + "/t8.jpg", 0, 0).width, 64);
}

TEST_F(Worker, OnlyRegularFilesAreReplaced) {
  const std::string photo = picture("photo.jpg", 80, 60);
  ASSERT_EQ(::mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  // A device node needs root; /dev/null's numbers make it harmless.
  const bool device = ::mknod((dir_ + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  fs::create_symlink("photo.jpg", dir_ + "/link.jpg");
  std::string input = request("pipe", photo, dir_ + "/pipe");
  if (device) input += request("null", photo, dir_ + "/null");
  input += request("link", photo, dir_ + "/link.jpg", R"("maxEdge":64)");
  std::vector<std::string> expected = {R"({"id":"pipe","ok":false,"error":"cannot_create_destination"})"};
  if (device) expected.push_back(R"({"id":"null","ok":false,"error":"cannot_create_destination"})");
  expected.push_back(R"({"id":"link","ok":true,"width":64,"height":48})");
  EXPECT_EQ(serve(input), expected);
  struct stat info;
  ASSERT_EQ(::lstat((dir_ + "/pipe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  if (device) {
    ASSERT_EQ(::lstat((dir_ + "/null").c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
  // Through the link: the photo itself is replaced by its thumbnail.
  EXPECT_TRUE(fs::is_symlink(dir_ + "/link.jpg"));
  EXPECT_EQ(probe(photo, 0, 0).width, 64);
}

TEST_F(Worker, ThumbnailsAreUprightClampedAndAtTheClampedQuality) {
  // Stored 300 × 200, left red; orientation 6 turns it a quarter clockwise:
  // upright 200 × 300 with red on top.
  const std::string turned = picture("turned.jpg", 300, 200, 6);
  std::string input = request("turned", turned, dir_ + "/upright.jpg", R"("maxEdge":150)");
  input += request("big", turned, dir_ + "/big.jpg", R"("maxEdge":10000)");
  for (const auto& [name, quality] : std::vector<std::pair<std::string, std::string>>{
           {"q100", R"(,"quality":1.0)"}, {"q95", R"(,"quality":0.95)"}, {"q10", R"(,"quality":0.1)"},
           {"q50", R"(,"quality":0.5)"}, {"qnone", ""}, {"q82", R"(,"quality":0.82)"}})
    input += request(name, turned, dir_ + "/" + name + ".jpg", R"("maxEdge":100)" + quality);
  const auto lines = serve(input);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], R"({"id":"turned","ok":true,"width":100,"height":150})");
  const Pixel top = probe(dir_ + "/upright.jpg", 50, 10), bottom = probe(dir_ + "/upright.jpg", 50, 140);
  EXPECT_GT(top.red, 200);
  EXPECT_LT(top.blue, 60);
  EXPECT_GT(bottom.blue, 200);
  // Never enlarged past the source.
  EXPECT_EQ(lines[1], R"({"id":"big","ok":true,"width":200,"height":300})");
  EXPECT_EQ(slurp(dir_ + "/q100.jpg"), slurp(dir_ + "/q95.jpg"));
  EXPECT_EQ(slurp(dir_ + "/q10.jpg"), slurp(dir_ + "/q50.jpg"));
  EXPECT_EQ(slurp(dir_ + "/qnone.jpg"), slurp(dir_ + "/q82.jpg"));
  EXPECT_NE(slurp(dir_ + "/q95.jpg"), slurp(dir_ + "/q50.jpg"));
}

TEST_F(Worker, QueuedRequestsKeepTheirOrderAndTheirFileDependencies) {
  const std::string large = picture("large.png", 1600, 1200);
  const std::string small = picture("small.jpg", 120, 90);
  std::string input;
  // A slow request first, quick ones behind it: answers stay in order.
  input += request("slow", large, dir_ + "/slow.jpg", R"("maxEdge":64)");
  for (int i = 0; i < 6; ++i)
    input += request("quick" + std::to_string(i), small, dir_ + "/q" + std::to_string(i) + ".jpg");
  // Each request reads what the one before wrote; the last two write the
  // same file, the later one wins.
  input += request("first", large, dir_ + "/chain.jpg", R"("maxEdge":400)");
  input += request("second", dir_ + "/chain.jpg", dir_ + "/chain2.jpg", R"("maxEdge":300)");
  input += request("third", dir_ + "/chain2.jpg", dir_ + "/same.jpg", R"("maxEdge":200)");
  input += request("fourth", small, dir_ + "/./same.jpg", R"("maxEdge":100)");
  const auto lines = serve(input);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], R"({"id":"slow","ok":true,"width":64,"height":48})");
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(lines[1 + i], R"({"id":"quick)" + std::to_string(i) + R"(","ok":true,"width":100,"height":75})");
  EXPECT_EQ(lines[7], R"({"id":"first","ok":true,"width":400,"height":300})");
  EXPECT_EQ(lines[8], R"({"id":"second","ok":true,"width":300,"height":225})");
  EXPECT_EQ(lines[9], R"({"id":"third","ok":true,"width":200,"height":150})");
  EXPECT_EQ(lines[10], R"({"id":"fourth","ok":true,"width":100,"height":75})");
  EXPECT_EQ(probe(dir_ + "/same.jpg", 0, 0).width, 100);
}

// Transparency is laid over white at every size: a transparent area shows
// white, never the colour stored under it (red here), and a half-transparent
// blue blends with the white.
TEST_F(Worker, TransparencyIsFlattenedOntoWhiteAtEverySize) {
  for (int bits : {8, 16}) {
    const int max = bits == 16 ? 65535 : 255;
    std::vector<std::uint16_t> samples;
    const int width = 400, height = 300;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const bool hidden = x < width / 2;
        for (int c : hidden ? std::vector<int>{max, 0, 0, 0} : std::vector<int>{0, 0, max, (max + 1) / 2})
          samples.push_back(std::uint16_t(c));
      }
    VipsImage* raw = nullptr;
    if (bits == 16) {
      raw = vips_image_new_from_memory_copy(samples.data(), samples.size() * 2, width, height, 4, VIPS_FORMAT_USHORT);
    } else {
      std::vector<std::uint8_t> bytes(samples.begin(), samples.end());
      raw = vips_image_new_from_memory_copy(bytes.data(), bytes.size(), width, height, 4, VIPS_FORMAT_UCHAR);
    }
    VipsImage* image = nullptr;
    vips_copy(raw, &image, "interpretation", bits == 16 ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB,
              nullptr);
    g_object_unref(raw);
    const std::string source = dir_ + "/alpha" + std::to_string(bits) + ".png";
    ASSERT_EQ(vips_image_write_to_file(image, source.c_str(), nullptr), 0);
    g_object_unref(image);
    std::string input;
    for (const char* edge : {"400", "100"})
      input += request(edge, source, dir_ + "/a" + edge + ".jpg", std::string(R"("maxEdge":)") + edge);
    const auto lines = serve(input);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& [name, width] : std::vector<std::pair<std::string, int>>{{"400", 400}, {"100", 100}}) {
      const std::string out = dir_ + "/a" + name + ".jpg";
      const Pixel hidden = probe(out, width / 4, width * 3 / 8), blended = probe(out, width * 3 / 4, width * 3 / 8);
      EXPECT_EQ(hidden.width, width) << bits << " " << name;
      EXPECT_GT(hidden.red, 245) << bits << " " << name;
      EXPECT_GT(hidden.blue, 245) << bits << " " << name;  // white, not red or black
      EXPECT_NEAR(blended.red, 127, 10) << bits << " " << name;
      EXPECT_GT(blended.blue, 245) << bits << " " << name;
    }
  }
}

// A request that reads, through a link, the file an earlier request writes
// waits for it, however the link gets there: the answers are those of
// running the requests one after another.
TEST_F(Worker, RequestsReadingThroughLinksWaitForTheWriter) {
  const std::string large = picture("large.png", 1600, 1200);
  fs::create_directory(dir_ + "/real");
  fs::create_directory_symlink(dir_ + "/real", dir_ + "/folder-link");
  struct Case {
    std::string written, link, linkTarget, read;
  };
  const std::vector<Case> cases = {
      {"/w1.jpg", "/l1.jpg", "/w1.jpg", "/l1.jpg"},                      // a link to a file not yet written
      {"/w2.jpg", "/l2.jpg", "/l2b.jpg", "/l2.jpg"},                     // a chain of links
      {"/real/w3.jpg", "/l3.jpg", "/folder-link/w3.jpg", "/l3.jpg"},     // through a linked folder
      {"/real/w4.jpg", "", "", "/folder-link/w4.jpg"},                   // a linked folder in the read path
      {"/w5.jpg", "", "", "/W5.JPG"},                                    // another name, not yet there
  };
  fs::create_symlink(dir_ + "/w2.jpg", dir_ + "/l2b.jpg");
  std::string input;
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    if (!c.link.empty()) fs::create_symlink(dir_ + c.linkTarget, dir_ + c.link);
    const std::string n = std::to_string(i);
    input += request("write" + n, large, dir_ + c.written, R"("maxEdge":200)");
    input += request("read" + n, dir_ + c.read, dir_ + "/r" + n + ".jpg", R"("maxEdge":100)");
    expected.push_back(R"({"id":"write)" + n + R"(","ok":true,"width":200,"height":150})");
    // On a file system that tells letter case apart, W5.JPG is another file.
    expected.push_back(i == 4 ? R"({"id":"read4","ok":false,"error":"cannot_read_source"})"
                              : R"({"id":"read)" + n + R"(","ok":true,"width":100,"height":75})");
  }
  EXPECT_EQ(serve(input), expected);
}

// The workers share one byte budget: requests for a large interlaced 16-bit
// PNG (decoded whole before it is reduced) run one at a time once the budget
// holds only one of them, and the peak memory stays near one decode instead
// of one per worker.
TEST_F(Worker, WorkersShareOneByteBudget) {
  const int side = 2400;
  VipsImage* black = nullptr;
  VipsImage* grey = nullptr;
  VipsImage* image = nullptr;
  ASSERT_EQ(vips_black(&black, side, side, "bands", 3, nullptr), 0);
  ASSERT_EQ(vips_linear1(black, &grey, 1, 20000, "uchar", FALSE, nullptr), 0);
  ASSERT_EQ(vips_cast(grey, &image, VIPS_FORMAT_USHORT, nullptr), 0);
  image->Type = VIPS_INTERPRETATION_RGB16;
  const std::string source = dir_ + "/interlaced16.png";
  ASSERT_EQ(vips_pngsave(image, source.c_str(), "interlace", TRUE, "compression", 1, nullptr), 0);
  for (VipsImage* i : {black, grey, image}) g_object_unref(i);
  std::string input;
  for (int i = 0; i < 4; ++i) input += request("big" + std::to_string(i), source, dir_ + "/b" + std::to_string(i) + ".jpg");
  std::ofstream(dir_ + "/stdin", std::ios::binary) << input;
  // Peak resident kilobytes of four workers under a budget of `megabytes`.
  auto peak = [&](int megabytes) {
    // Under AddressSanitizer freed memory is held back a while; without
    // that the peaks compare as in a plain build.
    const std::string command = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:quarantine_size_mb=0:thread_local_quarantine_size_kb=0\" " +
                                std::string(ORVAN_BIN_DIR) + "/minipic_budget_probe 4 " + std::to_string(megabytes) +
                                " <" + dir_ + "/stdin >" + dir_ + "/stdout";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string out = slurp(dir_ + "/stdout");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    EXPECT_EQ(out.find("false"), std::string::npos) << out;
    const std::size_t at = out.find("peak ");
    return at == std::string::npos ? 0L : std::stol(out.substr(at + 5));
  };
  const std::uint64_t one = thumbnailBytes(side, side, 16, 100);
  EXPECT_GT(one, std::uint64_t(side) * side * 6);  // the whole frame, counted
  const long frameKilobytes = long(side) * side * 6 / 1024;
  const long apart = peak(static_cast<int>(one >> 20) + 1);  // one decode at a time
  const long together = peak(4096);                          // all four at once
  EXPECT_LT(apart, together - frameKilobytes);
  EXPECT_LT(apart, 2 * frameKilobytes + 80 * 1024);
}

// The budget: what one holds, the next waits for; a request over the whole
// budget waits until nothing is held; turns are taken in order.
TEST(Budget, HoldsAtMostItsTotalAndServesInOrder) {
  ByteBudget budget(1000);
  std::mutex lock;
  std::vector<std::string> events;
  std::uint64_t most = 0;
  auto run = [&](const std::string& name, std::uint64_t bytes, int delayMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ByteBudget::Lease lease = budget.take(bytes);
    {
      std::lock_guard guard(lock);
      events.push_back(name + "+");
      most = std::max(most, budget.held());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::lock_guard guard(lock);
    events.push_back(name + "-");
  };
  std::vector<std::thread> threads;
  // a and b fit together; c (over the whole budget) waits until both are
  // done; d, asking after c, waits for c although it would fit.
  for (auto [name, bytes, delay] : std::vector<std::tuple<std::string, std::uint64_t, int>>{
           {"a", 400, 0}, {"b", 500, 10}, {"c", 5000, 20}, {"d", 100, 30}})
    threads.emplace_back(run, name, bytes, delay);
  for (auto& t : threads) t.join();
  const std::vector<std::string> expected = {"a+", "b+", "a-", "b-", "c+", "c-", "d+", "d-"};
  EXPECT_EQ(events, expected);
  EXPECT_EQ(most, 1000u);
  EXPECT_EQ(budget.held(), 0u);
}

}  // namespace
