// veilpass <input> <output.jpg> <paint|scratches|blur>
// Hides every face of a photo, verifies that the face detector finds none
// afterwards, prints the counts as JSON and writes a fresh JPEG.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "veilpass.h"

namespace {

[[noreturn]] void fail(const std::string& description) {
  std::fputs(("veilpass: " + description + "\n").c_str(), stderr);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    veilpass::run(arguments, stdout);
  } catch (const veilpass::Error& error) {
    fail(error.description());
  } catch (const std::exception& error) {
    fail(error.what());
  }
  return 0;
}
