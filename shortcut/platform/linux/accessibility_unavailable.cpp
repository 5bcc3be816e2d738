// An accessibility interface that finds no frontmost application, so every
// query ends at once with neither frame.
#include "linux_backends.h"

namespace keychord::platform {

namespace {

constexpr int cannotComplete = -25204;

class UnavailableAccessibility final : public Accessibility {
public:
    Ref copyFrontmostApplication() override { return nullptr; }
    std::int32_t processIdentifier(Ref) override { return -1; }
    Ref createApplicationElement(std::int32_t) override { return nullptr; }
    void setMessagingTimeout(Ref, float) override {}
    int setAttributeValueTrue(Ref, const std::string&) override { return cannotComplete; }
    int copyAttributeValue(Ref, const std::string&, Ref*) override { return cannotComplete; }
    int copyParameterizedAttributeValue(Ref, const std::string&, Ref, Ref*) override { return cannotComplete; }
    bool isElement(Ref) override { return false; }
    bool isAXValue(Ref) override { return false; }
    bool stringValue(Ref, std::string*) override { return false; }
    bool getPoint(Ref, Point*) override { return false; }
    bool getSize(Ref, Size*) override { return false; }
    bool getRect(Ref, Rect*) override { return false; }
    bool getCharRange(Ref, CharRange*) override { return false; }
    Ref createCharRangeValue(CharRange) override { return nullptr; }
    void release(Ref) override {}
};

}  // namespace

std::shared_ptr<Accessibility> makeLinuxAccessibility() { return std::make_shared<UnavailableAccessibility>(); }

}  // namespace keychord::platform
