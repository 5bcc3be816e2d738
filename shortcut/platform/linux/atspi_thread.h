#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/accessibility.h"

// The AT-SPI2 accessibility port with a thread of its own. That thread owns
// every AT-SPI, D-Bus and X11 call of the process: it connects to the
// accessibility bus, follows focus events as they arrive (so neither the
// bus daemon nor this process keeps a backlog of them), and answers the
// port operations, which the emission queue's worker hands it one at a time
// and waits for.
//
// A query (from copyFrontmostApplication on) gets `queryTime` in all: when a
// bus or the X server does not answer, the operations still waiting fail
// and the press is reported with what was found by then. What the thread
// returns after its caller gave up is released there.
namespace keychord::platform::atspi {

class AtspiThread final : public Accessibility {
public:
    explicit AtspiThread(std::chrono::milliseconds queryTime = std::chrono::milliseconds(300));
    // Asks the thread to end without waiting for it: it may be inside a
    // call to a bus that does not answer.
    ~AtspiThread() override;
    AtspiThread(const AtspiThread&) = delete;
    AtspiThread& operator=(const AtspiThread&) = delete;

    Ref copyFrontmostApplication() override;
    std::int32_t processIdentifier(Ref application) override;
    Ref createApplicationElement(std::int32_t pid) override;
    void setMessagingTimeout(Ref element, float seconds) override;
    int setAttributeValueTrue(Ref element, const std::string& attribute) override;
    int copyAttributeValue(Ref element, const std::string& attribute, Ref* value) override;
    int copyParameterizedAttributeValue(Ref element, const std::string& attribute, Ref parameter,
                                        Ref* value) override;
    bool isElement(Ref value) override;
    bool isAXValue(Ref value) override;
    bool stringValue(Ref value, std::string* text) override;
    bool getPoint(Ref value, Point* point) override;
    bool getSize(Ref value, Size* size) override;
    bool getRect(Ref value, Rect* rect) override;
    bool getCharRange(Ref value, CharRange* range) override;
    Ref createCharRangeValue(CharRange range) override;
    void release(Ref object) override;

    struct Shared;

private:
    using Clock = std::chrono::steady_clock;

    const std::chrono::milliseconds queryTime_;
    Clock::time_point deadline_{};
    std::shared_ptr<Shared> shared_;
};

}  // namespace keychord::platform::atspi
