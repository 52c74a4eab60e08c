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

// Makes the thumbnail the request asks for; every failure is an error code
// in the response.
ThumbnailResponse createThumbnail(const ThumbnailRequest& request);

// Runs requests on a few worker threads while the answers keep the order of
// the requests. Each request is still made and released on its own; only
// requests whose files are independent run side by side (the caller checks
// sharesFilesWithPending first and waits for the pending ones otherwise).
class RequestPipeline {
 public:
  explicit RequestPipeline(unsigned workers);
  ~RequestPipeline();
  RequestPipeline(const RequestPipeline&) = delete;
  RequestPipeline& operator=(const RequestPipeline&) = delete;

  void submit(ThumbnailRequest request);
  // A line answered without work (an invalid request), kept in its place.
  void submitAnswered(ThumbnailResponse response);
  // Whether the request reads or writes a file that an unfinished earlier
  // request writes, or writes one that it reads.
  bool sharesFilesWithPending(const ThumbnailRequest& request) const;
  // Requests submitted and not yet taken.
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // The oldest request's response, once it is done.
  ThumbnailResponse takeNext();

 private:
  struct Slot {
    ThumbnailRequest request;
    std::string inputFile, outputFile;
    std::optional<ThumbnailResponse> response;
  };
  void work();

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
