#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace keychord {

// The virtual key code of the Space key.
inline constexpr std::int64_t spaceKeyCode = 49;
// The only event type the tap asks for.
inline constexpr std::uint32_t keyDownEventType = 10;
// Notifications that the system has turned the tap off.
inline constexpr std::uint32_t tapDisabledByTimeout = 0xFFFFFFFEu;
inline constexpr std::uint32_t tapDisabledByUserInput = 0xFFFFFFFFu;
// Modifier-flag bit set while Fn is held.
inline constexpr std::uint64_t fnFlag = 0x800000u;

enum class TapAction : std::uint8_t {
    pass,           // pass the event on unchanged
    remove,         // delete the event
    removeAndEmit,  // delete the event and report the press
    enableAndPass,  // turn the tap back on and pass the event on unchanged
};

// "key=<code> flags=<flags> repeat=<true|false>" in a fixed buffer, so that
// forming it allocates nothing. Empty when debug lines are off.
class DebugLine {
public:
    // The longest line: a 20-character key code and a 20-digit mask.
    static constexpr std::size_t capacity = 64;

    DebugLine() = default;
    DebugLine(std::int64_t keyCode, std::uint64_t flags, bool repeat);

    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char, capacity> chars_;
    std::size_t size_ = 0;
};

struct TapDecision {
    TapAction action = TapAction::pass;
    DebugLine debugLine;
};

// What the tap does with one event, from the event's type, key code,
// auto-repeat value and modifier-flag mask, and whether debug lines are on.
// With debug lines on, every key-down gets its debug line.
TapDecision decideTapEvent(std::uint32_t type, std::int64_t keyCode, std::int64_t autorepeat,
                           std::uint64_t flags, bool debugEvents);

}  // namespace keychord
