// Resource export: copying a stored original out of the library.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "internal.h"

namespace photos {

void Library::writeResourceData(const AssetResource& resource, const std::string& path,
                                const ResourceRequestOptions&, ExportCompletion completion) const {
  // Resolve the stored file now; the copy itself runs on its own thread and
  // touches nothing of the library.
  std::string source;
  std::optional<std::string> error;
  try {
    source = storedFilePath(resource);
    struct stat info;
    if (source.empty()) {
      error = "The photo's original is no longer in the photo library.";
    } else if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      error = "The original file of this photo is missing from the photo library: " + source;
    }
  } catch (const Error& failure) {
    error = failure.what();
  }
  std::thread([source = std::move(source), path, error = std::move(error),
               completion = std::move(completion)] {
    completion(error ? error : copyFile(source, path, Flush::no));
  }).detach();
}

}  // namespace photos
