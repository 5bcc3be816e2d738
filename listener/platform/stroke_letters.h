#pragma once

#include <string>
#include <string_view>

// Latin letters whose mark is part of the letter itself (a stroke or a bar
// through it) and so survives canonical decomposition. The text backends fold
// them like any other marked letter: "ø" and "Ø" become "o", "ł" becomes "l".
// ICU and CoreFoundation both leave them as they are; this table is the one
// answer both backends give.
namespace hotword::platform {

constexpr char32_t withoutStroke(char32_t c) {
    switch (c) {
        case 0x00D8: return U'O';  // Ø
        case 0x00F8: return U'o';  // ø
        case 0x0110: return U'D';  // Đ
        case 0x0111: return U'd';  // đ
        case 0x0126: return U'H';  // Ħ
        case 0x0127: return U'h';  // ħ
        case 0x0141: return U'L';  // Ł
        case 0x0142: return U'l';  // ł
        case 0x0166: return U'T';  // Ŧ
        case 0x0167: return U't';  // ŧ
        case 0x0180: return U'b';  // ƀ
        case 0x0197: return U'I';  // Ɨ
        case 0x0268: return U'i';  // ɨ
        case 0x01B5: return U'Z';  // Ƶ
        case 0x01B6: return U'z';  // ƶ
        default: return c;
    }
}

// Replaces every letter of the table in UTF-8 text by its plain letter; all
// other bytes, valid or not, are kept as they are. Every letter of the table
// is a two-byte sequence.
inline std::string replaceStrokeLetters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xC2 && lead <= 0xDF && i + 1 < text.size()) {
            const auto trail = static_cast<unsigned char>(text[i + 1]);
            if ((trail & 0xC0) == 0x80) {
                const char32_t c = (char32_t{lead} & 0x1F) << 6 | (char32_t{trail} & 0x3F);
                const char32_t plain = withoutStroke(c);
                if (plain != c) {
                    out.push_back(static_cast<char>(plain));
                    ++i;
                    continue;
                }
            }
        }
        out.push_back(static_cast<char>(lead));
    }
    return out;
}

}  // namespace hotword::platform
