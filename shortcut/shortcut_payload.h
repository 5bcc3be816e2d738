#pragma once

#include <optional>
#include <utility>
#include <string>
#include <string_view>

namespace keychord {

// Writes compact JSON into a string. A number that is not finite cannot be
// written: number() then reports failure and writes nothing.
class JsonWriter {
public:
    JsonWriter() = default;
    // Starts the text with `prefix`, which is not JSON and is kept as is.
    explicit JsonWriter(std::string_view prefix);

    void beginObject();
    void endObject();
    void key(std::string_view name);
    [[nodiscard]] bool number(double value);
    const std::string& text() const { return text_; }
    std::string takeText() { return std::move(text_); }

private:
    void separate();
    std::string text_;
    bool needsComma_ = false;
};

// One screen rectangle in points, as the accessibility interface gives it.
struct FramePayload {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    enum class CodingKeys { x, y, width, height };
    static const char* stringValue(CodingKeys key);

    // One object with the four members; false when a value is not finite.
    [[nodiscard]] bool encode(JsonWriter& writer) const;
};

// Where the focused text input and its caret are; either may be absent.
struct ShortcutPayload {
    std::optional<FramePayload> inputFrame;
    std::optional<FramePayload> caretFrame;

    enum class CodingKeys { inputFrame, caretFrame };
    static const char* stringValue(CodingKeys key);

    // One object; absent frames are left out. Stops at the first failure.
    [[nodiscard]] bool encode(JsonWriter& writer) const;
};

// "fn-space", a TAB and the payload's JSON text; the bare "fn-space" when
// the payload cannot be encoded. Never holds a newline.
std::string shortcutLine(const ShortcutPayload& payload);

}  // namespace keychord
