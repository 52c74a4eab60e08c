// Serves request lines as minipic does, on a given number of workers that
// share a byte budget of a given size, then prints its own peak resident
// size in kilobytes: lets the tests check the shared budget at a small
// scale, whatever the machine's number of cores.
//   minipic_budget_probe <workers> <budget-megabytes>  < requests
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "imageio.h"
#include "minipic.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  imageio::initialize();
  const auto workers = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
  const std::uint64_t budget = std::strtoull(argv[2], nullptr, 10) << 20;
  minipic::RequestPipeline pipeline(workers, budget);
  minipic::LineReader reader(STDIN_FILENO);
  std::string line;
  while (reader.next(line) == minipic::LineReader::Result::line)
    if (auto request = minipic::decodeRequest(line)) pipeline.submit(std::move(*request));
  while (!pipeline.empty())
    if (auto text = minipic::encodeResponse(pipeline.takeNext())) std::printf("%s\n", text->c_str());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak %ld\n", usage.ru_maxrss);
  return 0;
}
