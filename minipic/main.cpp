// minipic: reads thumbnail requests, one JSON object per line, from standard
// input and answers each with one JSON line on standard output, in order, as
// soon as it (and every request before it) is done. Ends with status 0 at
// the end of input.
//
// Requests already waiting on the input run side by side on a worker per
// processor core (at most four): decoding a JPEG is one core's work, and a
// host that queues a batch gets it proportionally sooner. A request that
// shares a file with an unfinished earlier one waits for it, so the files
// come out as if the requests ran one after another.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "imageio.h"
#include "minipic.h"

using namespace minipic;

namespace {

void respond(const ThumbnailResponse& response) {
  const auto text = encodeResponse(response);
  if (!text) return;
  std::fwrite(text->data(), 1, text->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main() {
  // Without the image library every request fails to open its source.
  imageio::initialize();
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  RequestPipeline pipeline(workers);
  LineReader reader(STDIN_FILENO);
  std::string line;
  bool ended = false;
  while (!ended || !pipeline.empty()) {
    // Take further lines only while they are at hand: an answer that is
    // ready never waits for input.
    while (!ended && pipeline.size() < workers && (pipeline.empty() || reader.lineReady())) {
      const LineReader::Result result = reader.next(line);
      if (result == LineReader::Result::end) {
        ended = true;
        break;
      }
      std::optional<ThumbnailRequest> request;
      if (result == LineReader::Result::line) request = decodeRequest(line);
      if (!request) {
        pipeline.submitAnswered(ThumbnailResponse::failure("", "invalid_request"));
        continue;
      }
      if (pipeline.sharesFilesWithPending(*request))
        while (!pipeline.empty()) respond(pipeline.takeNext());
      pipeline.submit(std::move(*request));
    }
    if (!pipeline.empty()) respond(pipeline.takeNext());
  }
  return 0;
}
