#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <linux/input.h>
#include <mutex>
#include <vector>

#include "platform/event_tap.h"

// The keyboard loop of the Linux event tap, over file descriptors: it reads
// input events from grabbed keyboards, hands every key-down to the tap
// callback and writes every event the callback does not remove, unchanged
// and in order, to the virtual keyboard.
namespace keychord::platform::linux_input {

using KeyState = std::bitset<KEY_CNT>;

// What the loop asks of a keyboard device beyond reading it. Real devices
// answer through ioctls; tests stand in pipes and scripted answers.
struct DeviceControl {
    // The keys the device holds down right now; false when unknown.
    std::function<bool(int fd, KeyState* held)> heldKeys;
    // Takes the device away from every other reader.
    std::function<bool(int fd)> grab;
};

class EvdevRelay {
public:
    // `keyboards` are read (non-blocking is not required); `output` receives
    // the events that pass. The descriptors are borrowed.
    EvdevRelay(std::vector<int> keyboards, int output, DeviceControl control, TapCallback callback);
    ~EvdevRelay();
    EvdevRelay(const EvdevRelay&) = delete;
    EvdevRelay& operator=(const EvdevRelay&) = delete;

    // Grabs every keyboard that holds no key now. A keyboard with a key down
    // is grabbed later, once all its keys are up, so no key of it stays
    // pressed for the rest of the session. False when a grab fails.
    bool grabIdleKeyboards();

    // Relays until stop() is called or every keyboard has gone.
    void run();
    // Ends run(); safe from any thread and before run() starts.
    void stop();

private:
    struct Keyboard {
        int fd = -1;
        bool grabbed = false;
        bool dropping = false;  // after SYN_DROPPED, until the next report
        std::vector<std::uint8_t> pending;  // bytes of a partly read event
        std::vector<input_event> frame;     // events up to the next report
        KeyState held;                      // keys down, as relayed
        KeyState swallowed;                 // removed key-downs not yet released
    };

    bool tryGrab(Keyboard& keyboard);
    // False when the keyboard has gone.
    bool readFrom(Keyboard& keyboard);
    void handleEvent(Keyboard& keyboard, const input_event& event);
    void finishFrame(Keyboard& keyboard);
    bool passesKey(Keyboard& keyboard, const input_event& event);
    std::uint64_t flags() const;

    std::vector<Keyboard> keyboards_;
    int output_;
    DeviceControl control_;
    TapCallback callback_;
    int wakeFd_ = -1;
    bool capsLock_ = false;
};

}  // namespace keychord::platform::linux_input
