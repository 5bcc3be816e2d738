#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plist {

// One value of a property list: its element name ("string", "true",
// "integer", "dict", ...) and, for the leaf types, its text with the XML
// entities resolved.
struct Value {
    std::string type;
    std::string text;
};

// The entries of the top-level dictionary, in document order.
using Entries = std::vector<std::pair<std::string, Value>>;

// Reads an XML property list whose root value is a dictionary. The text
// must be well-formed XML in UTF-8 and follow the property-list structure:
// one <plist version="1.0"> holding one <dict>; in every dictionary, keys
// and values alternate, each key has a value and no key repeats; only the
// property-list elements occur, with no attributes and no stray text. On
// failure returns false with a message in `error`.
bool readDictionary(std::string_view xml, Entries* entries, std::string* error);

}  // namespace plist
