#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "active_window.h"
#include "platform/accessibility.h"

typedef struct _AtspiAccessible AtspiAccessible;
typedef struct _AtspiEvent AtspiEvent;
typedef struct _AtspiEventListener AtspiEventListener;
typedef struct _GMainContext GMainContext;

// The accessibility port on AT-SPI2, answering the AX attribute names the
// geometry lookup reads:
//   AXFocusedUIElement  the focused accessible of the application, from the
//                       last focus event, checked; else one Collection match
//                       on the FOCUSED state
//   AXRole              "AXTextField", "AXTextArea", "AXComboBox" for text
//                       inputs; other roles by their AT-SPI names
//   AXPosition, AXSize  screen extents
//   AXSelectedTextRange the first selection, else the caret (length 0)
//   AXBoundsForRange    at the caret: the character extents there, width 0
//                       (at the end of the text: right edge of the last one)
// AXFocusedWindow and the text-marker attributes are not available, and the
// two writes are not supported (their results are not read).
//
// Threads: AT-SPI is used from one thread only, the one that calls start()
// and then every port operation (AtspiThread's). Focus events arrive on the
// main context given at construction (a private one otherwise); they are
// handled whenever that thread dispatches it, and also when a query starts
// and after each call.
namespace keychord::platform::atspi {

class AtspiAccessibility final : public Accessibility {
public:
    // `context`: the main context that receives the bus messages (a new
    // one when null); the object holds a reference to it.
    explicit AtspiAccessibility(GMainContext* context = nullptr);
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    // Connects to the accessibility bus and starts following focus events.
    // Done by the first query otherwise.
    void start();

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

    // Objects handed out and not yet released (all kinds), for tests.
    static long liveObjects();

    struct Element;

private:
    using Clock = std::chrono::steady_clock;

    static void onFocusEvent(AtspiEvent* event, void* self);
    void handleEvents();
    // Before each request to an application: false when the query's time is
    // up or the application has stopped answering; otherwise sets the
    // AT-SPI timeout to what is left.
    bool beginRequest();
    void endRequest();
    std::int32_t pidOf(AtspiAccessible* accessible);
    AtspiAccessible* applicationOf(std::int32_t pid);  // new reference or null

    int focusedElement(Element& application, Ref* value);
    int role(Element& element, Ref* value);
    int selectedRange(Element& element, Ref* value);
    int extents(Element& element);
    int caretBounds(Element& element, CharRange range, Ref* value);
    bool loadStates(Element& element);

    bool started_ = false;
    bool available_ = false;
    GMainContext* context_ = nullptr;
    AtspiEventListener* focusListener_ = nullptr;
    AtspiAccessible* lastFocused_ = nullptr;
    std::map<std::string, std::int32_t> pidByBusName_;
    ActiveWindow activeWindow_;

    // The query under way (from copyFrontmostApplication on).
    Clock::time_point deadline_{};
    std::chrono::milliseconds requestTimeout_{400};
    bool applicationHung_ = false;
    Clock::time_point requestStart_{};
    std::chrono::milliseconds requestLimit_{0};
};

}  // namespace keychord::platform::atspi
