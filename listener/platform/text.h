#pragma once

#include <string>
#include <string_view>

// Text services of the platform. Input and output are UTF-8; invalid input
// never fails: invalid sequences are replaced before the text is processed.
namespace hotword::platform {

// Case- and diacritic-insensitive folding under the given locale: letters
// a-z with or without marks, in either case, come out as plain a-z. Letters
// with a stroke or a bar (ø, ł, đ, ħ; stroke_letters.h) count as marked.
std::string foldCaseAndDiacritics(std::string_view text, const char* localeIdentifier);

// The standard, locale-independent Unicode lowercase mapping.
std::string lowercase(std::string_view text);

// Removes leading and trailing white space and newlines: Unicode separators
// (general category Z*), tab, U+000A to U+000D and U+0085.
std::string trimWhitespaceAndNewlines(std::string_view text);

}  // namespace hotword::platform
