// The canonically composed (NFC) form of file names, for sorting listings.

#include <string>

#include "glib_loader.h"
#include "treeclerk.h"

namespace treeclerk {

std::string composedForm(const std::string& name) {
  bool ascii = true;
  for (const char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return name;  // ASCII is its own composed form
  const GlibFunctions* functions = glib();
  if (functions == nullptr) return name;
  gchar* composed = functions->utf8Normalize(name.data(), static_cast<gssize>(name.size()),
                                             G_NORMALIZE_NFC);
  if (composed == nullptr) return name;  // not valid UTF-8: its bytes order it
  std::string result(composed);
  functions->free(composed);
  return result;
}

}  // namespace treeclerk
