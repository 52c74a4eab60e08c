// XMP collection: an XML parser delegate that records every element text and
// attribute value under normalised dotted keys ("look.description.name").
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tagscope {

using XmpValues = std::map<std::string, std::string>;

// The delegate of one parse. Namespaces are not processed: prefixes are
// stripped from every name piece, and names are compared in lower case.
class XMPCollector {
 public:
  XmpValues values;
  std::vector<std::string> elements;  // local names of the open elements
  std::vector<std::string> text;      // one text buffer per open element

  void startElement(std::string_view qualifiedName,
                    const std::vector<std::pair<std::string_view, std::string_view>>& attributes);
  void characters(std::string_view data);
  void endElement();

  // Stores a value under the normalised form of a dotted path; the first
  // value stored under a key wins, and empty values are not stored.
  void store(std::string_view path, std::string_view value);
};

// The local name: the last non-empty piece of a name split at ":", lower case.
std::string localName(std::string_view name);

// Parses an XMP packet. A parse that stops on an error keeps what was
// collected until then.
XmpValues collectXmp(std::string_view packet);

// Parses an XMP file (a sidecar) read in pieces; false when it cannot be
// opened or is not a regular file.
bool collectXmpFile(const std::string& path, XmpValues& values);

}  // namespace tagscope
