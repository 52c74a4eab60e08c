#include "glib_loader.h"

#include <dlfcn.h>

namespace treeclerk {

namespace {

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

}  // namespace

const GlibFunctions* glib() {
  static const GlibFunctions* loaded = []() -> const GlibFunctions* {
    void* library = ::dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static GlibFunctions functions;
    if (!bind(library, "g_utf8_normalize", functions.utf8Normalize) ||
        !bind(library, "g_free", functions.free)) {
      return nullptr;
    }
    return &functions;
  }();
  return loaded;
}

const GioFunctions* gio() {
  static const GioFunctions* loaded = []() -> const GioFunctions* {
    void* library = ::dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static GioFunctions functions;
    // dlsym on the handle also searches the libraries GIO depends on.
    if (!bind(library, "g_file_new_for_path", functions.fileNewForPath) ||
        !bind(library, "g_file_trash", functions.fileTrash) ||
        !bind(library, "g_object_unref", functions.objectUnref) ||
        !bind(library, "g_error_free", functions.errorFree)) {
      return nullptr;
    }
    return &functions;
  }();
  return loaded;
}

}  // namespace treeclerk
