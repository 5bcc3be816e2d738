#pragma once

#include <optional>
#include <string>

#include "platform/accessibility.h"
#include "shortcut_payload.h"

namespace keychord {

// The element types whose focus counts as a text input by role, in the
// order they are compared.
inline constexpr const char* textInputRoles[] = {"AXTextField", "AXTextArea", "AXComboBox"};

// Requests to the application element time out after this many seconds.
inline constexpr float applicationMessagingTimeout = 0.4f;

// Where the focused text input of the frontmost application and its caret
// are on screen. Whatever cannot be found is left absent; nothing is
// reported. Every reference obtained here is released before it returns.
ShortcutPayload focusedInputPayload(platform::Accessibility& accessibility);

// Asks `element` for the rectangle of a parameterized attribute. Nothing when
// the request fails, answers no rectangle, or a rectangle whose height
// (absolute) is not greater than 0. A width that is not greater than 0
// (absolute) comes back as 1; every other number comes back as answered.
// The element and the parameter are borrowed.
std::optional<platform::Rect> parameterizedBounds(platform::Accessibility& accessibility,
                                                  platform::Ref element, const std::string& attribute,
                                                  platform::Ref parameter);

}  // namespace keychord
