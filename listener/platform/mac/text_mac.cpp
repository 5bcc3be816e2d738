// Text services on CoreFoundation (macOS).
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <vector>

#include "../stroke_letters.h"
#include "../text.h"

namespace hotword::platform {

namespace {

// Owns one CoreFoundation object and releases it once.
template <typename T>
class CFHolder {
public:
    explicit CFHolder(T object) : object_(object) {}
    ~CFHolder() {
        if (object_) CFRelease(object_);
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    T get() const { return object_; }

private:
    T object_;
};

// Valid UTF-8 with every invalid sequence replaced by U+FFFD, so that
// CFStringCreateWithBytes never refuses it.
std::string sanitizedUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t min = 0;
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, min = 0x10000;
        }
        bool valid = length != 0 && i + length <= size;
        std::uint32_t codePoint = valid ? (lead & (0x7F >> length)) : 0;
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (bytes[i + k] & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        valid = valid && codePoint >= min && codePoint <= 0x10FFFF && !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

CFMutableStringRef createMutableString(std::string_view text) {
    const std::string valid = sanitizedUtf8(text);
    CFHolder<CFStringRef> string(CFStringCreateWithBytes(kCFAllocatorDefault,
                                                         reinterpret_cast<const UInt8*>(valid.data()),
                                                         static_cast<CFIndex>(valid.size()), kCFStringEncodingUTF8,
                                                         false));
    if (!string.get()) return CFStringCreateMutable(kCFAllocatorDefault, 0);
    return CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get());
}

std::string toUtf8(CFStringRef string) {
    const CFIndex length = CFStringGetLength(string);
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<std::size_t>(capacity));
    CFIndex used = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(buffer.data()), capacity, &used);
    return std::string(buffer.data(), static_cast<std::size_t>(used));
}

}  // namespace

std::string foldCaseAndDiacritics(std::string_view text, const char* localeIdentifier) {
    CFHolder<CFMutableStringRef> string(createMutableString(text));
    CFHolder<CFStringRef> identifier(
        CFStringCreateWithCString(kCFAllocatorDefault, localeIdentifier, kCFStringEncodingUTF8));
    CFHolder<CFLocaleRef> locale(CFLocaleCreate(kCFAllocatorDefault, identifier.get()));
    CFStringFold(string.get(), kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive, locale.get());
    // The fold strips marks that decompose (and so turns "ǿ" into "ø") but
    // keeps the stroke letters.
    return replaceStrokeLetters(toUtf8(string.get()));
}

std::string lowercase(std::string_view text) {
    CFHolder<CFMutableStringRef> string(createMutableString(text));
    CFStringLowercase(string.get(), nullptr);
    return toUtf8(string.get());
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    CFHolder<CFMutableStringRef> string(createMutableString(text));
    CFCharacterSetRef trimmed = CFCharacterSetGetPredefined(kCFCharacterSetWhitespaceAndNewline);
    CFIndex length = CFStringGetLength(string.get());
    CFIndex start = 0;
    while (start < length && CFCharacterSetIsCharacterMember(trimmed, CFStringGetCharacterAtIndex(string.get(), start)))
        ++start;
    CFIndex end = length;
    while (end > start && CFCharacterSetIsCharacterMember(trimmed, CFStringGetCharacterAtIndex(string.get(), end - 1)))
        --end;
    CFHolder<CFStringRef> result(
        CFStringCreateWithSubstring(kCFAllocatorDefault, string.get(), CFRangeMake(start, end - start)));
    return toUtf8(result.get());
}

}  // namespace hotword::platform
