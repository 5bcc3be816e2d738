#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "event_tap.h"

namespace keychord::platform {

// A scripted event tap. run() takes events from the event source, one at a
// time, and hands each to the callback on the calling thread, as a run loop
// would. A disabling notification (0xFFFFFFFE, 0xFFFFFFFF) turns the tap
// off before it is delivered, as the system does.
class FakeEventTap final : public EventTap {
public:
    // The next event, or nothing when the script has ended.
    using EventSource = std::function<std::optional<TapEvent>()>;

    void setTrusted(bool trusted);
    void setCreationFails(bool fails);
    void setEvents(std::vector<TapEvent> events);
    void setEventSource(EventSource source);
    // When set, run() keeps running after the script has ended, like a real
    // run loop, until the process is ended.
    void setKeepRunningAfterScript(bool keepRunning);

    // Hands one event to the callback now; what it decided.
    TapVerdict deliver(const TapEvent& event);

    // The port operations called so far, in order: "isProcessTrusted",
    // "create", "addToRunLoop", "enable", "run".
    std::vector<std::string> calls() const;
    std::vector<TapVerdict> verdicts() const;
    bool enabled() const;
    bool stopped() const;

    bool isProcessTrusted() override;
    bool create(TapCallback callback) override;
    void addToRunLoop() override;
    void enable() override;
    void run() override;
    // Ends run() once the event being delivered has been handled; the
    // event source is asked for no further event.
    void stop() override;

private:
    void record(const char* call);

    mutable std::mutex mutex_;
    bool trusted_ = true;
    bool creationFails_ = false;
    bool keepRunning_ = false;
    bool enabled_ = false;
    bool stopped_ = false;
    std::condition_variable stoppedChanged_;
    EventSource source_;
    TapCallback callback_;
    std::vector<std::string> calls_;
    std::vector<TapVerdict> verdicts_;
};

}  // namespace keychord::platform
