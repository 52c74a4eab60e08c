#include "xmp_collector.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <expat.h>

#include "text.h"

namespace tagscope {
namespace {

// The non-empty pieces of `text` split at `separator`.
std::vector<std::string_view> pieces(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Text kept per element beyond what a stored value can use: values are
// trimmed and cut to 200 characters, so leading space is the only reason to
// keep more, and a hostile packet must not grow a buffer without end.
constexpr std::size_t maxBufferedText = 64 * 1024;

void XMLCALL onStart(void* userData, const XML_Char* name, const XML_Char** attributes) {
  std::vector<std::pair<std::string_view, std::string_view>> list;
  for (const XML_Char** a = attributes; a && a[0] && a[1]; a += 2) list.emplace_back(a[0], a[1]);
  static_cast<XMPCollector*>(userData)->startElement(name, list);
}

void XMLCALL onCharacters(void* userData, const XML_Char* data, int length) {
  if (length > 0) static_cast<XMPCollector*>(userData)->characters(std::string_view(data, length));
}

void XMLCALL onEnd(void* userData, const XML_Char*) { static_cast<XMPCollector*>(userData)->endElement(); }

// One expat parser bound to a fresh collector.
class XmpParser {
 public:
  XmpParser() : parser_(XML_ParserCreate(nullptr)) {
    if (!parser_) return;
    XML_SetUserData(parser_, &collector_);
    XML_SetElementHandler(parser_, onStart, onEnd);
    XML_SetCharacterDataHandler(parser_, onCharacters);
  }
  ~XmpParser() {
    if (parser_) XML_ParserFree(parser_);
  }
  XmpParser(const XmpParser&) = delete;
  XmpParser& operator=(const XmpParser&) = delete;

  // Feeds a piece; false once the parse has stopped on an error.
  bool feed(const char* data, std::size_t size, bool last) {
    if (!parser_ || failed_) return false;
    while (size > 0 || last) {
      int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
      bool final = last && static_cast<std::size_t>(piece) == size;
      if (XML_Parse(parser_, data, piece, final) != XML_STATUS_OK) {
        failed_ = true;
        return false;
      }
      data += piece;
      size -= static_cast<std::size_t>(piece);
      if (final) break;
    }
    return true;
  }

  XmpValues takeValues() { return std::move(collector_.values); }

 private:
  XML_Parser parser_;
  XMPCollector collector_;
  bool failed_ = false;
};

}  // namespace

std::string localName(std::string_view name) {
  auto parts = pieces(name, ':');
  return parts.empty() ? std::string() : lowerCase(parts.back());
}

void XMPCollector::startElement(std::string_view qualifiedName,
                                const std::vector<std::pair<std::string_view, std::string_view>>& attributes) {
  std::string element = localName(qualifiedName);
  std::string parent = elements.empty() ? std::string() : elements.back();
  bool hasParent = !elements.empty();
  elements.push_back(element);
  text.emplace_back();
  for (const auto& [name, value] : attributes) {
    std::string a = localName(name);
    store(a, value);
    store(element + "." + a, value);
    if (hasParent) store(parent + "." + element + "." + a, value);
  }
}

void XMPCollector::characters(std::string_view data) {
  if (text.empty()) return;
  std::string& buffer = text.back();
  if (buffer.size() < maxBufferedText) buffer.append(data.substr(0, maxBufferedText - buffer.size()));
}

void XMPCollector::endElement() {
  if (elements.empty()) return;
  std::string element = std::move(elements.back());
  elements.pop_back();
  std::string buffer;
  if (!text.empty()) {
    buffer = std::move(text.back());
    text.pop_back();
  }
  store(element, buffer);
  if (!elements.empty()) store(elements.back() + "." + element, buffer);
}

void XMPCollector::store(std::string_view path, std::string_view value) {
  std::string key;
  for (std::string_view piece : pieces(path, '.')) {
    std::string name = localName(piece);
    if (name.empty()) continue;
    if (!key.empty()) key += '.';
    key += name;
  }
  if (values.count(key)) return;
  if (auto cleaned = cleanText(value)) values.emplace(std::move(key), std::move(*cleaned));
}

XmpValues collectXmp(std::string_view packet) {
  XmpParser parser;
  parser.feed(packet.data(), packet.size(), true);
  return parser.takeValues();
}

bool collectXmpFile(const std::string& path, XmpValues& values) {
  if (path.find('\0') != std::string::npos) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  XmpParser parser;
  std::vector<char> buffer(64 * 1024);
  bool readable = true;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readable = false;
      break;
    }
    if (!parser.feed(buffer.data(), static_cast<std::size_t>(n), n == 0) || n == 0) break;
  }
  ::close(fd);
  if (readable) values = parser.takeValues();
  return readable;
}

}  // namespace tagscope
