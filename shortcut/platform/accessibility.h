#pragma once

#include <cstdint>
#include <string>

// The accessibility interface and the workspace, shaped like the AX calls.
// A Ref is an opaque, reference-counted platform object (a CFTypeRef on
// macOS). Whatever a create or copy call hands out belongs to the caller and
// is released exactly once with release(); everything else is borrowed.
namespace keychord::platform {

using Ref = const void*;

// AXValueType numbers.
enum class AXValueKind : int { point = 1, size = 2, rect = 3, charRange = 4 };

struct Point { double x = 0, y = 0; };
struct Size { double width = 0, height = 0; };
struct Rect { Point origin; Size size; };
struct CharRange { std::int64_t location = 0, length = 0; };

// AX error code 0 is success; every other code is a failure.
inline constexpr int axSuccess = 0;

class Accessibility {
public:
    virtual ~Accessibility() = default;

    // The frontmost application's running-application object, or null.
    virtual Ref copyFrontmostApplication() = 0;
    virtual std::int32_t processIdentifier(Ref application) = 0;
    virtual Ref createApplicationElement(std::int32_t pid) = 0;
    virtual void setMessagingTimeout(Ref element, float seconds) = 0;

    // Writes the boolean true. Returns the AX error code.
    virtual int setAttributeValueTrue(Ref element, const std::string& attribute) = 0;
    // Returns the AX error code. The slot may hold a value (to be released)
    // whatever the code; on success it holds the value or null.
    virtual int copyAttributeValue(Ref element, const std::string& attribute, Ref* value) = 0;
    virtual int copyParameterizedAttributeValue(Ref element, const std::string& attribute, Ref parameter,
                                                Ref* value) = 0;

    // Type tests by type identifier.
    virtual bool isElement(Ref value) = 0;
    virtual bool isAXValue(Ref value) = 0;
    // True with `text` filled when the value is a platform string.
    virtual bool stringValue(Ref value, std::string* text) = 0;

    // AXValueGetValue: true with the buffer filled when the AXValue holds
    // that kind.
    virtual bool getPoint(Ref value, Point* point) = 0;
    virtual bool getSize(Ref value, Size* size) = 0;
    virtual bool getRect(Ref value, Rect* rect) = 0;
    virtual bool getCharRange(Ref value, CharRange* range) = 0;

    // AXValueCreate with a character range: a new value, or null.
    virtual Ref createCharRangeValue(CharRange range) = 0;

    // Releases a create or copy result; never called with null.
    virtual void release(Ref object) = 0;
};

}  // namespace keychord::platform
