// Text services on ICU (Linux and the test backend).
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

#include "../stroke_letters.h"
#include "../text.h"

namespace hotword::platform {

namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

std::string foldCaseAndDiacritics(std::string_view text, const char* /*localeIdentifier*/) {
    // Folding of plain ASCII is its lowercase form; no letter has a mark.
    if (isAscii(text)) return asciiLowercase(text);

    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return asciiLowercase(text);

    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                                                   static_cast<int32_t>(text.size())));
    icu::UnicodeString decomposed = nfd->normalize(source, status);
    if (U_FAILURE(status)) return asciiLowercase(text);

    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) == U_NON_SPACING_MARK) continue;
        stripped.append(static_cast<UChar32>(withoutStroke(static_cast<char32_t>(c))));
    }
    stripped.foldCase(U_FOLD_CASE_DEFAULT);
    icu::UnicodeString composed = nfc->normalize(stripped, status);
    if (U_FAILURE(status)) return toUtf8(stripped);
    return toUtf8(composed);
}

std::string lowercase(std::string_view text) {
    if (isAscii(text)) return asciiLowercase(text);
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                                             static_cast<int32_t>(text.size())));
    source.toLower(icu::Locale::getRoot());
    return toUtf8(source);
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(),
                                                                                   static_cast<int32_t>(text.size())));
    auto isTrimmed = [](UChar32 c) {
        const int8_t type = u_charType(c);
        return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR ||
               c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85;
    };
    int32_t start = 0;
    int32_t end = source.length();
    while (start < end) {
        const UChar32 c = source.char32At(start);
        if (!isTrimmed(c)) break;
        start += U16_LENGTH(c);
    }
    while (end > start) {
        const UChar32 c = source.char32At(end - 1);
        if (!isTrimmed(c)) break;
        end -= U16_LENGTH(c);
    }
    return toUtf8(source.tempSubStringBetween(start, end));
}

}  // namespace hotword::platform
