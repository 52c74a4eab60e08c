// GLib and GIO loaded on first use. Linking them would cost every request
// several milliseconds of start-up (GIO pulls in a dozen libraries and
// registers its types), while only a few requests need them: names outside
// ASCII (normalisation) and "trash".
#pragma once

#include <gio/gio.h>

namespace treeclerk {

struct GlibFunctions {
  decltype(&g_utf8_normalize) utf8Normalize = nullptr;
  decltype(&g_free) free = nullptr;
};

struct GioFunctions {
  decltype(&g_file_new_for_path) fileNewForPath = nullptr;
  decltype(&g_file_trash) fileTrash = nullptr;
  decltype(&g_object_unref) objectUnref = nullptr;
  decltype(&g_error_free) errorFree = nullptr;
};

// Absent when the library cannot be loaded.
const GlibFunctions* glib();
const GioFunctions* gio();

}  // namespace treeclerk
