// tagscope: reads one image path per line on standard input and answers each
// with one JSON line of camera, exposure, location and look data.
#include <unistd.h>

#include <cstdio>

#include "image_properties.h"
#include "line_worker.h"

int main() {
  tagscope::initializeImagePropertyReader();
  tagscope::runLineWorker(stdin, STDOUT_FILENO);
  return 0;
}
