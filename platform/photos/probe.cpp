#include "probe.h"

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>

#include "files.h"
#include "photos.h"

namespace photos {

namespace {

using ProbeFunction = decltype(&orvan_photos_probe_image);

constexpr const char* moduleName = "photos-imageprobe.so";

// The module beside the running program, else where the build put it.
ProbeFunction loadProbe() {
  std::string candidates[2];
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0)
    candidates[0] =
        files::parentDirectory(std::string(self, static_cast<std::size_t>(length))) + "/" + moduleName;
  candidates[1] = PHOTOS_PROBE_BUILD_PATH;
  std::string failure = "not found";
  for (const std::string& candidate : candidates) {
    if (candidate.empty() || ::access(candidate.c_str(), R_OK) != 0) continue;
    if (void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      if (void* entry = ::dlsym(module, "orvan_photos_probe_image"))
        return reinterpret_cast<ProbeFunction>(entry);
    }
    const char* error = ::dlerror();
    failure = error ? error : "cannot be loaded";
  }
  throw Error(std::string("The photo library cannot read image files: ") + moduleName + " " + failure + ".");
}

}  // namespace

std::optional<ImageFacts> probeImage(const std::string& path) {
  static std::mutex mutex;
  static ProbeFunction probe = nullptr;
  {
    std::lock_guard lock(mutex);
    if (!probe) probe = loadProbe();
  }
  ImageFacts facts;
  char format[32] = {};
  if (!probe(path.c_str(), &facts.pixelWidth, &facts.pixelHeight, &facts.orientation, format, sizeof format))
    return std::nullopt;
  facts.format = format;
  return facts;
}

}  // namespace photos
