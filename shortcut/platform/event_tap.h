#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// The keyboard event tap and the run loop that delivers it.
namespace keychord::platform {

// The integer values of one tapped event that the callback reads.
struct TapEvent {
    std::uint32_t type = 0;
    std::int64_t keyCode = 0;      // key-code field (9)
    std::int64_t autorepeat = 0;   // auto-repeat field (8)
    std::uint64_t flags = 0;       // modifier-flag mask
};

// What the callback does with the event.
enum class TapVerdict { pass, remove };

// Runs on the run loop's thread for every event the tap sees.
using TapCallback = std::function<TapVerdict(const TapEvent& event)>;

class EventTap {
public:
    virtual ~EventTap() = default;
    // Whether the process may use the accessibility interface (no prompt).
    virtual bool isProcessTrusted() = 0;
    // Creates the tap for key-down events at the head of the session's event
    // stream. False when it cannot be created.
    virtual bool create(TapCallback callback) = 0;
    // Attaches the tap to the main run loop.
    virtual void addToRunLoop() = 0;
    virtual void enable() = 0;
    // Runs the main run loop; returns only if the loop is stopped.
    virtual void run() = 0;
    // Makes run() return, from any thread, also when it has not started
    // yet (it then returns at once).
    virtual void stop() = 0;
};

// A serial queue: work items run one at a time, in submission order, off the
// caller's thread. async() returns at once.
class SerialQueue {
public:
    virtual ~SerialQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

}  // namespace keychord::platform
