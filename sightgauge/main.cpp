// sightgauge <image-path>
// sightgauge --faces-only <image-path> | --matrix30 <image-path>
// sightgauge --crop-verify <big> <crop> <x> <y> <w> <h> [<rotation> <mirrored>]
// Analyses one image and answers with one line on standard output.
#include <string>
#include <vector>

#include "reports.h"

int main(int argc, char** argv) {
  using namespace sightgauge;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Invocation invocation = chooseMode(args);
  switch (invocation.mode) {
    case Mode::cropVerify:
      verifyCrop(args);
    case Mode::matrix30:
      runMatrix30(invocation.imagePath);
      return 0;
    case Mode::faces:
      runFaceReport(invocation.imagePath);
      return 0;
    case Mode::analysis:
      runAnalysis(invocation.imagePath);
      return 0;
    case Mode::usage:
      break;
  }
  fail(usageMessage);
}
