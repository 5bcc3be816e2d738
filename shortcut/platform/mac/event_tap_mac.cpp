// The keyboard event tap on Quartz event services and the main run loop, and
// the accessibility trust check.
#include <ApplicationServices/ApplicationServices.h>
#include <dispatch/dispatch.h>

#include <utility>

#include "backend_mac.h"

namespace keychord::platform::mac {

namespace {

// The tap is made with no user info, so its callback reaches the monitor's
// callback through this process-wide value. It is set once, before the tap
// exists, and afterwards only read, on the main thread.
TapCallback tapCallback;

// Fields of a keyboard event.
constexpr CGEventField keyCodeField = static_cast<CGEventField>(9);    // kCGKeyboardEventKeycode
constexpr CGEventField autorepeatField = static_cast<CGEventField>(8);  // kCGKeyboardEventAutorepeat

// Reads the event's integer values, hands them to the monitor and carries out
// its verdict: the event passes on unchanged, or none is returned and the
// event is deleted. Proxy and user info are not used.
CGEventRef handleTapEvent(CGEventTapProxy proxy, CGEventType type, CGEventRef event, void* userInfo) {
    (void)proxy;
    (void)userInfo;
    TapEvent tapEvent;
    tapEvent.type = static_cast<std::uint32_t>(type);
    if (type == kCGEventKeyDown) {
        tapEvent.keyCode = CGEventGetIntegerValueField(event, keyCodeField);
        tapEvent.autorepeat = CGEventGetIntegerValueField(event, autorepeatField);
        tapEvent.flags = static_cast<std::uint64_t>(CGEventGetFlags(event));
    }
    if (!tapCallback || tapCallback(tapEvent) == TapVerdict::pass) return event;
    return nullptr;
}

class MacEventTap final : public EventTap {
public:
    MacEventTap() = default;
    MacEventTap(const MacEventTap&) = delete;
    MacEventTap& operator=(const MacEventTap&) = delete;
    ~MacEventTap() override {
        if (runLoopSource_ != nullptr) CFRelease(runLoopSource_);
        if (tap_ != nullptr) CFRelease(tap_);
    }

    bool isProcessTrusted() override { return AXIsProcessTrusted(); }

    // Location 1 (the logged-in user's session), placement 0 (head), options
    // 0 (an active filter), mask 0x400 (key-down), no user info.
    bool create(TapCallback callback) override {
        tapCallback = std::move(callback);
        tap_ = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                CGEventMaskBit(kCGEventKeyDown), handleTapEvent, nullptr);
        return tap_ != nullptr;
    }

    // In the main run loop's common modes.
    void addToRunLoop() override {
        if (tap_ == nullptr) return;
        runLoopSource_ = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap_, 0);
        if (runLoopSource_ != nullptr) CFRunLoopAddSource(CFRunLoopGetMain(), runLoopSource_, kCFRunLoopCommonModes);
    }

    void enable() override {
        if (tap_ != nullptr) CGEventTapEnable(tap_, true);
    }

    void run() override { CFRunLoopRun(); }

    // Through the main queue, which the main run loop serves: a stop asked
    // for before the loop runs takes effect as soon as it does.
    void stop() override {
        dispatch_async_f(dispatch_get_main_queue(), nullptr, [](void*) { CFRunLoopStop(CFRunLoopGetMain()); });
    }

private:
    CFMachPortRef tap_ = nullptr;
    CFRunLoopSourceRef runLoopSource_ = nullptr;
};

static_assert(kCGSessionEventTap == 1 && kCGHeadInsertEventTap == 0 && kCGEventTapOptionDefault == 0);
static_assert(CGEventMaskBit(kCGEventKeyDown) == 0x400);
static_assert(kCGEventKeyDown == 10 && kCGEventTapDisabledByTimeout == 0xFFFFFFFE &&
              kCGEventTapDisabledByUserInput == 0xFFFFFFFF);

}  // namespace

std::shared_ptr<EventTap> makeEventTap() { return std::make_shared<MacEventTap>(); }

}  // namespace keychord::platform::mac
