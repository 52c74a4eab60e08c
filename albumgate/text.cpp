// Text rules shared by the commands: trimming, file-name sanitising, unique
// export destinations, and the order of album names.

#include <algorithm>
#include <memory>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "albumgate.h"

namespace albumgate {

namespace {

// Decodes the code point at `at` and advances; invalid bytes come out as a
// negative value and are kept as they are.
UChar32 nextCodePoint(std::string_view text, std::size_t& at) {
  UChar32 c;
  std::int32_t i = static_cast<std::int32_t>(at);
  U8_NEXT(text.data(), i, static_cast<std::int32_t>(text.size()), c);
  at = static_cast<std::size_t>(i);
  return c;
}

bool isLineBreakOrSeparator(UChar32 c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || (c >= 0 && (U_GET_GC_MASK(c) & U_GC_Z_MASK));
}

bool isWhiteSpaceOrLineBreak(UChar32 c) { return c == 0x09 || isLineBreakOrSeparator(c); }

bool isPathBreaker(UChar32 c) {
  return c == '/' || c == ':' || c == '\\' || (c >= 0 && (U_GET_GC_MASK(c) & (U_GC_CC_MASK | U_GC_CF_MASK)));
}

template <typename Predicate>
std::string trimmedBy(std::string_view text, Predicate strip) {
  std::size_t begin = text.size(), end = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    if (!strip(nextCodePoint(text, at))) {
      begin = std::min(begin, start);
      end = at;
    }
  }
  return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

// The longest file name the file systems take, in bytes.
constexpr std::size_t maxNameBytes = 255;

// The longest start of `text` (valid UTF-8) of at most `limit` bytes that
// ends between two characters.
std::string_view startWithin(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// The name of candidate `number` (1: the name itself, n: base-n.ext), made
// to fit maxNameBytes by shortening the base name on a character boundary,
// so that the extension and the number stay.
std::string numberedName(const std::string& safe, long number) {
  // An extension follows the last dot unless that dot opens or ends the name.
  const std::size_t dot = safe.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0 && dot + 1 < safe.size();
  const std::string_view base = hasExtension ? std::string_view(safe).substr(0, dot) : std::string_view(safe);
  const std::string_view extension = hasExtension ? std::string_view(safe).substr(dot) : std::string_view();
  const std::string suffix = number == 1 ? "" : "-" + std::to_string(number);
  if (number == 1 && safe.size() <= maxNameBytes) return safe;

  std::string_view kept;
  if (extension.size() + suffix.size() < maxNameBytes) {
    kept = startWithin(base, maxNameBytes - extension.size() - suffix.size());
  }
  // An extension too long to keep beside any of the base name is shortened
  // with it, as one name.
  if (kept.empty()) return std::string(startWithin(safe, maxNameBytes - suffix.size())) + suffix;
  return std::string(kept) + suffix + std::string(extension);
}

bool existsAt(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// The collator of the user's locale, or the root collation when the locale is
// the C/POSIX one (whose collation orders by code point and so by case).
// Secondary strength: case is ignored, accents are not.
icu::Collator* albumNameCollator() {
  static const std::unique_ptr<icu::Collator> collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getName()).starts_with("en_US_POSIX") || locale.isBogus()) locale = icu::Locale::getRoot();
    std::unique_ptr<icu::Collator> made(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !made) {
      status = U_ZERO_ERROR;
      made.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (made) made->setStrength(icu::Collator::SECONDARY);
    return made;
  }();
  return collator.get();
}

}  // namespace

std::string trimmed(std::string_view text) { return trimmedBy(text, isWhiteSpaceOrLineBreak); }

std::string safeFilename(std::string_view bytes) {
  // A name that is not UTF-8 (Latin-1 from an old archive) is written with
  // U+FFFD in place of its bad bytes: the file it names then works in every
  // program the host hands its path to.
  const std::string text = json::withReplacementCharacters(bytes);
  const std::string_view name = text;
  std::string joined;
  std::string piece;
  const auto flush = [&] {
    if (piece.empty()) return;
    if (!joined.empty()) joined += '-';
    joined += piece;
    piece.clear();
  };
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t start = at;
    if (isPathBreaker(nextCodePoint(name, at))) {
      flush();
    } else {
      piece.append(name.substr(start, at - start));
    }
  }
  flush();
  std::string safe = trimmedBy(joined, isLineBreakOrSeparator);
  return safe.empty() ? "photo" : safe;
}

std::string uniqueDestination(const std::string& directory, std::string_view filename) {
  long number = 1;
  return uniqueDestination(directory, filename, number);
}

std::string uniqueDestination(const std::string& directory, std::string_view filename, long& number) {
  const std::string safe = safeFilename(filename);
  std::string folder = directory;
  if (folder.empty() || folder[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd) {
      folder = std::string(cwd) + (folder.empty() ? "" : "/" + folder);
      std::free(cwd);
    }
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder != "/") folder += '/';

  number = std::max(number, 1L);
  for (;; ++number) {
    const std::string candidate = folder + numberedName(safe, number);
    if (!existsAt(candidate)) return candidate;
  }
}

void sortAlbumRows(std::vector<AlbumRow>& rows) {
  icu::Collator* collator = albumNameCollator();
  std::stable_sort(rows.begin(), rows.end(), [collator](const AlbumRow& a, const AlbumRow& b) {
    if (collator) {
      UErrorCode status = U_ZERO_ERROR;
      const UCollationResult order = collator->compareUTF8(a.name, b.name, status);
      if (U_SUCCESS(status) && order != UCOL_EQUAL) return order == UCOL_LESS;
    }
    return a.id < b.id;
  });
}

}  // namespace albumgate
