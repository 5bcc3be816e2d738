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
    // Sets a light (EV_LED event) on the device.
    std::function<void(int fd, const input_event& light)> setLight;
    // The device has gone (unplugged); the loop no longer reads it.
    std::function<void(int fd)> gone;
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

    // Adds a keyboard while running (from a watch callback). It is grabbed
    // at once, or once it holds no key.
    void addKeyboard(int fd);

    // Lights the virtual keyboard is asked to set (the events read from
    // `fd`, a uinput device) are set on every grabbed keyboard.
    void forwardLights(int fd);
    // Calls `onReadable` on the loop's thread whenever `fd` can be read,
    // until it returns false.
    void watch(int fd, std::function<bool()> onReadable);

    // Relays until stop() is called, or every keyboard has gone and nothing
    // else is watched. A keyboard that goes, and every keyboard when the
    // loop is stopped, first has its held keys released on the output.
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
    void resynchronise(Keyboard& keyboard);
    // Releases, with one report, every key the keyboard holds down on the
    // virtual keyboard (not those it swallowed).
    void releaseHeldKeys(Keyboard& keyboard);
    bool passesKey(Keyboard& keyboard, const input_event& event);
    std::uint64_t flags() const;

    bool readLights();

    std::vector<Keyboard> keyboards_;
    std::vector<std::pair<int, std::function<bool()>>> watches_;
    int lights_ = -1;
    int output_;
    DeviceControl control_;
    TapCallback callback_;
    int wakeFd_ = -1;
    bool capsLock_ = false;
};

}  // namespace keychord::platform::linux_input
