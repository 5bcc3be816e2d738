#include "tap_decision.h"

#include <charconv>
#include <cstring>

namespace keychord {

namespace {

char* append(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace

DebugLine::DebugLine(std::int64_t keyCode, std::uint64_t flags, bool repeat) {
    char* const end = chars_.data() + chars_.size();
    char* out = append(chars_.data(), "key=");
    out = std::to_chars(out, end, keyCode).ptr;
    out = append(out, " flags=");
    out = std::to_chars(out, end, flags).ptr;
    out = append(out, repeat ? " repeat=true" : " repeat=false");
    size_ = static_cast<std::size_t>(out - chars_.data());
}

TapDecision decideTapEvent(std::uint32_t type, std::int64_t keyCode, std::int64_t autorepeat,
                           std::uint64_t flags, bool debugEvents) {
    if (type == tapDisabledByTimeout || type == tapDisabledByUserInput) return {TapAction::enableAndPass, {}};
    if (type != keyDownEventType) return {TapAction::pass, {}};

    const bool repeat = autorepeat != 0;
    TapDecision decision;
    if (debugEvents) decision.debugLine = DebugLine(keyCode, flags, repeat);

    // Only Space and the Fn bit count; every other modifier may be set or not.
    if (keyCode != spaceKeyCode || (flags & fnFlag) == 0) {
        decision.action = TapAction::pass;
    } else if (repeat) {
        decision.action = TapAction::remove;
    } else {
        decision.action = TapAction::removeAndEmit;
    }
    return decision;
}

}  // namespace keychord
