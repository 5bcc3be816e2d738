// The accessibility interface (AXUIElement, AXValue) and the workspace's
// frontmost application. Every Ref is a CFTypeRef: release() is CFRelease,
// and type tests compare CFGetTypeID. Compiled with ARC; the running
// application crosses into a Ref with CFBridgingRetain, so CFRelease balances
// it.
#import <AppKit/AppKit.h>
#include <ApplicationServices/ApplicationServices.h>

#include <vector>

#include "backend_mac.h"

namespace keychord::platform::mac {

namespace {

// Owns one CoreFoundation string and releases it once.
class CFStringHolder {
public:
    explicit CFStringHolder(const std::string& text)
        : string_(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                          static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false)) {}
    ~CFStringHolder() {
        if (string_ != nullptr) CFRelease(string_);
    }
    CFStringHolder(const CFStringHolder&) = delete;
    CFStringHolder& operator=(const CFStringHolder&) = delete;
    CFStringRef get() const { return string_; }

private:
    CFStringRef string_;
};

AXUIElementRef element(Ref ref) { return static_cast<AXUIElementRef>(const_cast<void*>(ref)); }
AXValueRef axValue(Ref ref) { return static_cast<AXValueRef>(const_cast<void*>(ref)); }

bool isAXValueRef(Ref value) { return value != nullptr && CFGetTypeID(value) == AXValueGetTypeID(); }

// AXValueGetValue, on AXValues only.
bool getValue(Ref value, AXValueType type, void* buffer) {
    return isAXValueRef(value) && AXValueGetValue(axValue(value), type, buffer);
}

class MacAccessibility final : public Accessibility {
public:
    Ref copyFrontmostApplication() override {
        @autoreleasepool {
            NSRunningApplication* application = [[NSWorkspace sharedWorkspace] frontmostApplication];
            if (application == nil) return nullptr;
            return CFBridgingRetain(application);
        }
    }

    std::int32_t processIdentifier(Ref application) override {
        NSRunningApplication* running = (__bridge NSRunningApplication*)application;
        return static_cast<std::int32_t>(running.processIdentifier);
    }

    Ref createApplicationElement(std::int32_t pid) override { return AXUIElementCreateApplication(pid); }

    void setMessagingTimeout(Ref element_, float seconds) override {
        AXUIElementSetMessagingTimeout(element(element_), seconds);
    }

    int setAttributeValueTrue(Ref element_, const std::string& attribute) override {
        CFStringHolder name(attribute);
        if (name.get() == nullptr) return kAXErrorIllegalArgument;
        return AXUIElementSetAttributeValue(element(element_), name.get(), kCFBooleanTrue);
    }

    int copyAttributeValue(Ref element_, const std::string& attribute, Ref* value) override {
        *value = nullptr;
        CFStringHolder name(attribute);
        if (name.get() == nullptr) return kAXErrorIllegalArgument;
        CFTypeRef copied = nullptr;
        const AXError result = AXUIElementCopyAttributeValue(element(element_), name.get(), &copied);
        *value = copied;
        return result;
    }

    int copyParameterizedAttributeValue(Ref element_, const std::string& attribute, Ref parameter,
                                        Ref* value) override {
        *value = nullptr;
        CFStringHolder name(attribute);
        if (name.get() == nullptr || parameter == nullptr) return kAXErrorIllegalArgument;
        CFTypeRef copied = nullptr;
        const AXError result =
            AXUIElementCopyParameterizedAttributeValue(element(element_), name.get(), parameter, &copied);
        *value = copied;
        return result;
    }

    bool isElement(Ref value) override { return value != nullptr && CFGetTypeID(value) == AXUIElementGetTypeID(); }
    bool isAXValue(Ref value) override { return isAXValueRef(value); }

    bool stringValue(Ref value, std::string* text) override {
        if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return false;
        CFStringRef string = static_cast<CFStringRef>(value);
        const CFIndex length = CFStringGetLength(string);
        const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
        std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1);
        CFIndex used = 0;
        CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                         reinterpret_cast<UInt8*>(buffer.data()), capacity, &used);
        text->assign(buffer.data(), static_cast<std::size_t>(used));
        return true;
    }

    bool getPoint(Ref value, Point* point) override {
        CGPoint cgPoint;
        if (!getValue(value, kAXValueTypeCGPoint, &cgPoint)) return false;
        *point = Point{cgPoint.x, cgPoint.y};
        return true;
    }

    bool getSize(Ref value, Size* size) override {
        CGSize cgSize;
        if (!getValue(value, kAXValueTypeCGSize, &cgSize)) return false;
        *size = Size{cgSize.width, cgSize.height};
        return true;
    }

    bool getRect(Ref value, Rect* rect) override {
        CGRect cgRect;
        if (!getValue(value, kAXValueTypeCGRect, &cgRect)) return false;
        *rect = Rect{Point{cgRect.origin.x, cgRect.origin.y}, Size{cgRect.size.width, cgRect.size.height}};
        return true;
    }

    bool getCharRange(Ref value, CharRange* range) override {
        CFRange cfRange;
        if (!getValue(value, kAXValueTypeCFRange, &cfRange)) return false;
        *range = CharRange{cfRange.location, cfRange.length};
        return true;
    }

    Ref createCharRangeValue(CharRange range) override {
        const CFRange cfRange = CFRangeMake(static_cast<CFIndex>(range.location), static_cast<CFIndex>(range.length));
        return AXValueCreate(kAXValueTypeCFRange, &cfRange);
    }

    void release(Ref object) override {
        if (object != nullptr) CFRelease(object);
    }
};

static_assert(kAXValueTypeCGPoint == static_cast<int>(AXValueKind::point) &&
              kAXValueTypeCGSize == static_cast<int>(AXValueKind::size) &&
              kAXValueTypeCGRect == static_cast<int>(AXValueKind::rect) &&
              kAXValueTypeCFRange == static_cast<int>(AXValueKind::charRange));
static_assert(kAXErrorSuccess == axSuccess);

}  // namespace

std::shared_ptr<Accessibility> makeAccessibility() { return std::make_shared<MacAccessibility>(); }

}  // namespace keychord::platform::mac
