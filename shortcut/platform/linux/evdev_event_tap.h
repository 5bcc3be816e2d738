#pragma once

#include <bitset>
#include <memory>
#include <linux/input.h>
#include <string>
#include <vector>

#include "platform/event_tap.h"

// The event tap on Linux: every keyboard is grabbed through evdev and what
// the tap lets pass is replayed through a uinput virtual keyboard, under X11
// and Wayland alike.
namespace keychord::platform::linux_input {

class EvdevRelay;

struct EvdevTapOptions {
    std::string inputDirectory = "/dev/input";
    std::string uinputPath = "/dev/uinput";
    // When not empty, only these event devices are tapped (for tests on a
    // real machine, so they never take the user's keyboard).
    std::vector<std::string> onlyDevices;
};

// Whether an event device is one of the keyboards the tap takes: it has a
// Space or an Fn key, is not the tap's own virtual keyboard, and reports
// nothing the virtual keyboard cannot replay (keys, scan codes, relative
// axes, lights). A node with absolute axes or switches (a keyboard with a
// touchpad on the same node) is not taken.
bool isTappedKeyboard(const std::bitset<EV_CNT>& eventTypes, bool hasSpaceOrFn, const std::string& name);

class EvdevEventTap final : public EventTap {
public:
    explicit EvdevEventTap(EvdevTapOptions options = {});
    ~EvdevEventTap() override;

    // True when there are keyboards, every one of them may be opened and so
    // may the uinput device (root or the input group).
    bool isProcessTrusted() override;
    // Makes the virtual keyboard and grabs the keyboards; false when the
    // virtual keyboard cannot be made or a grab fails.
    bool create(TapCallback callback) override;
    void addToRunLoop() override {}
    void enable() override {}
    void run() override;
    // Ends run() (held keys released first); safe from any thread once
    // create() has returned.
    void stop() override;

    // The sysfs name of the virtual keyboard once created ("input12").
    const std::string& virtualKeyboardName() const { return virtualName_; }

private:
    void scan();
    void closeAll();
    // Opens the device if it is a keyboard not yet tapped: its descriptor,
    // or -1.
    int openKeyboard(const std::string& path);
    // New keyboards plugged in while the tap runs.
    bool readDeviceChanges();

    EvdevTapOptions options_;
    bool scanned_ = false;
    bool refused_ = false;          // an input device was not allowed
    std::vector<int> keyboards_;    // open keyboard devices
    std::vector<std::string> keyboardPaths_;  // parallel to keyboards_
    int deviceChanges_ = -1;        // inotify on the input directory
    int uinput_ = -1;
    std::string virtualName_;
    std::unique_ptr<EvdevRelay> relay_;
};

}  // namespace keychord::platform::linux_input
