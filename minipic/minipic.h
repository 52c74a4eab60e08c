// minipic: a line worker that writes JPEG thumbnails, one JSON request per
// input line and one JSON response per output line.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace minipic {

// Longest request line accepted; a longer one is answered "invalid_request"
// without being held in memory.
inline constexpr std::size_t maxLineBytes = std::size_t{1} << 20;

// Sources declaring more pixels than this are refused before decoding
// (decompression bombs): 250 megapixels is over ten times a camera photo,
// and keeps the decode of even an interlaced PNG within about a gigabyte.
inline constexpr std::uint64_t maxSourcePixels = 250'000'000;
// Memory one request's decode may hold at its peak (Source::thumbnailBytes):
// a thumbnail is small, so this bounds the decoders' whole-picture buffers
// (an interlaced PNG, a progressive JPEG, HEIF) well under a gigabyte.
inline constexpr std::uint64_t maxDecodeBytes = std::uint64_t{768} << 20;

inline constexpr int minEdge = 64;
inline constexpr int maxEdgeLimit = 4096;
inline constexpr double defaultQuality = 0.82;
inline constexpr double minQuality = 0.5;
inline constexpr double maxQuality = 0.95;

struct ThumbnailRequest {
  std::string id;
  std::string inputPath;
  std::string outputPath;
  std::int64_t maxEdge = 0;
  std::optional<double> quality;
};

struct ThumbnailResponse {
  std::string id;
  bool ok = false;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  std::optional<std::string> error;

  static ThumbnailResponse failure(std::string id, std::string code) {
    return {std::move(id), false, std::nullopt, std::nullopt, std::move(code)};
  }
};

// Absent when the line is not a JSON object with the required keys of the
// right types.
std::optional<ThumbnailRequest> decodeRequest(std::string_view line);

// The response as one compact JSON object (no line feed); absent when it
// cannot be encoded.
std::optional<std::string> encodeResponse(const ThumbnailResponse& response);

int clampedEdge(std::int64_t maxEdge);
double clampedQuality(std::optional<double> quality);

// Bytes that all requests decoding at once may claim together: with the
// program's own memory the process stays under 1.5 GB whatever the number
// of workers.
inline constexpr std::uint64_t decodeBudgetBytes = std::uint64_t{1} << 30;

// A budget of bytes shared by the workers. A request takes what its decode
// may need before decoding and gives it back when it is done; while others
// hold too much of the budget it waits, so a big request runs alone instead
// of beside others. Requests are served in the order they ask, so a big one
// is not passed over for ever by small ones; one larger than the whole
// budget waits until nothing else is held.
class ByteBudget {
 public:
  explicit ByteBudget(std::uint64_t total) : total_(total) {}
  ByteBudget(const ByteBudget&) = delete;
  ByteBudget& operator=(const ByteBudget&) = delete;

  class Lease {
   public:
    Lease(Lease&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) { other.budget_ = nullptr; }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    std::uint64_t bytes() const { return bytes_; }

   private:
    friend class ByteBudget;
    Lease(ByteBudget* budget, std::uint64_t bytes) : budget_(budget), bytes_(bytes) {}
    ByteBudget* budget_ = nullptr;
    std::uint64_t bytes_ = 0;
  };
  // Blocks until `bytes` (at most the whole budget) can be held.
  Lease take(std::uint64_t bytes);
  std::uint64_t held() const;

 private:
  void give(std::uint64_t bytes);
  const std::uint64_t total_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t held_ = 0, nextTicket_ = 0, serving_ = 0;
};

// What decoding a source of width × height pixels at `bitsPerComponent`
// into a thumbnail of at most `edge` pixels a side may hold at its peak: the
// whole frame as four components (an interlaced PNG, a progressive JPEG or
// a HEIC is decoded whole before it is reduced) and the thumbnail twice.
std::uint64_t thumbnailBytes(std::int64_t width, std::int64_t height, int bitsPerComponent, int edge);

// Makes the thumbnail the request asks for; every failure is an error code
// in the response. With a budget, the decode waits for its share of it.
ThumbnailResponse createThumbnail(const ThumbnailRequest& request, ByteBudget* budget = nullptr);

// A file as requests name it, for telling which requests touch the same
// file: the device and inode of its directory and its name (letter case
// folded, for file systems that ignore it), and the file's own device and
// inode when it exists. Doubtful when that cannot be known for sure: the
// directory cannot be reached, the name is a symbolic link (its target may
// be written by another request), "." or "..", or `mustExist` and there is
// no file yet (an earlier request may be about to write it under another
// name).
struct FileIdentity {
  std::string entry, file;
  bool doubtful = false;
};
FileIdentity fileIdentity(const std::string& path, bool mustExist);

// Runs requests on a few worker threads while the answers keep the order of
// the requests. Each request is still made and released on its own; only
// requests whose files are independent run side by side (the caller checks
// sharesFilesWithPending first and waits for the pending ones otherwise).
class RequestPipeline {
 public:
  explicit RequestPipeline(unsigned workers, std::uint64_t budgetBytes = decodeBudgetBytes);
  ~RequestPipeline();
  RequestPipeline(const RequestPipeline&) = delete;
  RequestPipeline& operator=(const RequestPipeline&) = delete;

  void submit(ThumbnailRequest request);
  // A line answered without work (an invalid request), kept in its place.
  void submitAnswered(ThumbnailResponse response);
  // Whether the request reads or writes a file that an unfinished earlier
  // request writes, or writes one that it reads; also whenever the request's
  // files or an unfinished one's are in doubt, so that it runs only after
  // every earlier request, as if they ran one after another.
  bool sharesFilesWithPending(const ThumbnailRequest& request) const;
  // Requests submitted and not yet taken.
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // The oldest request's response, once it is done.
  ThumbnailResponse takeNext();

 private:
  struct Slot {
    ThumbnailRequest request;
    FileIdentity inputFile, outputFile;
    std::optional<ThumbnailResponse> response;
  };
  void work();

  ByteBudget budget_;

  mutable std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<std::shared_ptr<Slot>> order_;  // every slot not yet taken, oldest first
  std::deque<std::shared_ptr<Slot>> queue_;  // slots waiting for a worker
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Reads lines from a file descriptor through a fixed buffer. A line over
// maxLineBytes is skipped to its end and reported as too long.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  enum class Result { line, tooLong, end };
  // The next line without its line end ("\n", or "\r\n").
  Result next(std::string& line);
  // Whether next() can return without waiting for more input: a whole line
  // (or the end of input) is at hand. Reads what is already available.
  bool lineReady();

 private:
  bool fill();
  int fd_;
  char buffer_[65536];
  std::size_t start_ = 0, end_ = 0;
  bool eof_ = false;
};

}  // namespace minipic
