#include "focused_input.h"

#include <cmath>
#include <cstdint>
#include <string_view>

#include "owned_ref.h"

namespace keychord {

namespace {

using platform::Accessibility;
using platform::axSuccess;
using platform::Ref;

// A read that succeeded with a value. What the slot holds is released by
// `value` in every case.
bool readValue(Accessibility& ax, Ref element, const std::string& attribute, OwnedRef& value) {
    return ax.copyAttributeValue(element, attribute, value.slot()) == axSuccess && value;
}

bool isTextInputRole(std::string_view role) {
    for (const char* candidate : textInputRoles) {
        if (role == candidate) return true;
    }
    return false;
}

std::optional<FramePayload> inputFrame(Accessibility& ax, Ref element) {
    platform::Point position;
    {
        OwnedRef value(ax);
        if (!readValue(ax, element, "AXPosition", value) || !ax.isAXValue(value.get()) ||
            !ax.getPoint(value.get(), &position))
            return std::nullopt;
    }
    platform::Size size;
    {
        OwnedRef value(ax);
        if (!readValue(ax, element, "AXSize", value) || !ax.isAXValue(value.get()) ||
            !ax.getSize(value.get(), &size))
            return std::nullopt;
    }
    // Strictly positive: zero, negative and NaN all fail.
    if (!(size.width > 0) || !(size.height > 0)) return std::nullopt;
    return FramePayload{position.x, position.y, size.width, size.height};
}

std::optional<platform::Rect> caretByCharacterRange(Accessibility& ax, Ref element) {
    OwnedRef rangeValue(ax);
    platform::CharRange range;
    if (!readValue(ax, element, "AXSelectedTextRange", rangeValue) || !ax.isAXValue(rangeValue.get()) ||
        !ax.getCharRange(rangeValue.get(), &range))
        return std::nullopt;
    std::int64_t end = 0;
    // A range whose end does not fit in 64 bits gives no caret here.
    if (__builtin_add_overflow(range.location, range.length, &end)) return std::nullopt;
    OwnedRef caretRange(ax, ax.createCharRangeValue(platform::CharRange{end, 0}));
    if (!caretRange) return std::nullopt;
    return parameterizedBounds(ax, element, "AXBoundsForRange", caretRange.get());
}

std::optional<platform::Rect> caretByTextMarker(Accessibility& ax, Ref element) {
    OwnedRef markerRange(ax);
    if (!readValue(ax, element, "AXSelectedTextMarkerRange", markerRange)) return std::nullopt;
    return parameterizedBounds(ax, element, "AXBoundsForTextMarkerRange", markerRange.get());
}

}  // namespace

std::optional<platform::Rect> parameterizedBounds(Accessibility& ax, Ref element, const std::string& attribute,
                                                  Ref parameter) {
    OwnedRef value(ax);
    if (ax.copyParameterizedAttributeValue(element, attribute, parameter, value.slot()) != axSuccess || !value)
        return std::nullopt;
    platform::Rect rect;
    if (!ax.isAXValue(value.get()) || !ax.getRect(value.get(), &rect)) return std::nullopt;
    // Height and width are taken as absolute values, the way a standardized
    // rectangle reports them. NaN fails the height test and passes the width
    // rule unchanged.
    if (!(std::fabs(rect.size.height) > 0)) return std::nullopt;
    if (std::fabs(rect.size.width) <= 0) rect.size.width = 1;
    return rect;
}

ShortcutPayload focusedInputPayload(Accessibility& ax) {
    OwnedRef application(ax, ax.copyFrontmostApplication());
    if (!application) return {};

    OwnedRef applicationElement(ax, ax.createApplicationElement(ax.processIdentifier(application.get())));
    ax.setMessagingTimeout(applicationElement.get(), applicationMessagingTimeout);
    ax.setAttributeValueTrue(applicationElement.get(), "AXManualAccessibility");

    {
        OwnedRef window(ax);
        if (readValue(ax, applicationElement.get(), "AXFocusedWindow", window) && ax.isElement(window.get()))
            ax.setAttributeValueTrue(window.get(), "AXEnhancedUserInterface");
    }

    OwnedRef focused(ax);
    if (!readValue(ax, applicationElement.get(), "AXFocusedUIElement", focused) || !ax.isElement(focused.get()))
        return {};

    std::string role;
    bool hasRole = false;
    {
        OwnedRef value(ax);
        hasRole = readValue(ax, focused.get(), "AXRole", value) && ax.stringValue(value.get(), &role);
    }

    // Tested for presence only, whatever its type; held to the end.
    OwnedRef selectedRange(ax);
    const bool hasSelectedRange = readValue(ax, focused.get(), "AXSelectedTextRange", selectedRange);

    const bool qualifies = (hasRole && isTextInputRole(role)) || hasSelectedRange;
    if (!qualifies) return {};

    ShortcutPayload payload;
    payload.inputFrame = inputFrame(ax, focused.get());
    std::optional<platform::Rect> caret = caretByCharacterRange(ax, focused.get());
    if (!caret) caret = caretByTextMarker(ax, focused.get());
    if (caret) payload.caretFrame = FramePayload{caret->origin.x, caret->origin.y, caret->size.width, caret->size.height};

    applicationElement.reset();
    application.reset();
    focused.reset();
    selectedRange.reset();
    return payload;
}

}  // namespace keychord
