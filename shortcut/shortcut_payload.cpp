#include "shortcut_payload.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace keychord {

JsonWriter::JsonWriter(std::string_view prefix) {
    // Room for a whole line with two frames of long numbers.
    text_.reserve(256);
    text_.append(prefix);
}

void JsonWriter::separate() {
    if (needsComma_) text_.push_back(',');
}

void JsonWriter::beginObject() {
    separate();
    text_.push_back('{');
    needsComma_ = false;
}

void JsonWriter::endObject() {
    text_.push_back('}');
    needsComma_ = true;
}

void JsonWriter::key(std::string_view name) {
    // Member names are fixed identifiers: nothing in them needs escaping.
    separate();
    text_.push_back('"');
    text_.append(name);
    text_.append("\":");
    needsComma_ = false;
}

bool JsonWriter::number(double value) {
    if (!std::isfinite(value)) return false;
    // The shortest text that reads back as the same double; "-0" for
    // negative zero.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    separate();
    text_.append(buffer, result.ptr);
    needsComma_ = true;
    return true;
}

const char* FramePayload::stringValue(CodingKeys key) {
    switch (key) {
        case CodingKeys::x: return "x";
        case CodingKeys::y: return "y";
        case CodingKeys::width: return "width";
        case CodingKeys::height: return "height";
    }
    return "";
}

bool FramePayload::encode(JsonWriter& writer) const {
    writer.beginObject();
    const std::pair<CodingKeys, double> members[] = {
        {CodingKeys::x, x}, {CodingKeys::y, y}, {CodingKeys::width, width}, {CodingKeys::height, height}};
    for (const auto& [key, value] : members) {
        writer.key(stringValue(key));
        if (!writer.number(value)) return false;
    }
    writer.endObject();
    return true;
}

const char* ShortcutPayload::stringValue(CodingKeys key) {
    switch (key) {
        case CodingKeys::inputFrame: return "inputFrame";
        case CodingKeys::caretFrame: return "caretFrame";
    }
    return "";
}

bool ShortcutPayload::encode(JsonWriter& writer) const {
    writer.beginObject();
    if (inputFrame) {
        writer.key(stringValue(CodingKeys::inputFrame));
        if (!inputFrame->encode(writer)) return false;
    }
    if (caretFrame) {
        writer.key(stringValue(CodingKeys::caretFrame));
        if (!caretFrame->encode(writer)) return false;
    }
    writer.endObject();
    return true;
}

std::string shortcutLine(const ShortcutPayload& payload) {
    static constexpr std::string_view bare = "fn-space";
    JsonWriter writer("fn-space\t");
    if (!payload.encode(writer)) return std::string(bare);
    return writer.takeText();
}

}  // namespace keychord
