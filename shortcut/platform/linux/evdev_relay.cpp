#include "evdev_relay.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "key_codes.h"

namespace keychord::platform::linux_input {

namespace {

constexpr std::uint32_t keyDownEventType = 10;

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd waitFor{fd, POLLOUT, 0};
                ::poll(&waitFor, 1, 100);
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool isReport(const input_event& event) { return event.type == EV_SYN && event.code == SYN_REPORT; }

input_event keyRelease(std::size_t code) {
    input_event release{};
    release.type = EV_KEY;
    release.code = static_cast<std::uint16_t>(code);
    return release;
}

// Writes the releases as one frame, closed by its SYN_REPORT; nothing when
// there is nothing to release.
void writeReleases(int fd, std::vector<input_event> releases) {
    if (releases.empty()) return;
    input_event report{};
    report.type = EV_SYN;
    report.code = SYN_REPORT;
    releases.push_back(report);
    writeAll(fd, releases.data(), releases.size() * sizeof(input_event));
}

}  // namespace

EvdevRelay::EvdevRelay(std::vector<int> keyboards, int output, DeviceControl control, TapCallback callback)
    : output_(output), control_(std::move(control)), callback_(std::move(callback)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    for (int fd : keyboards) {
        Keyboard keyboard;
        keyboard.fd = fd;
        keyboards_.push_back(std::move(keyboard));
    }
}

void EvdevRelay::addKeyboard(int fd) {
    Keyboard keyboard;
    keyboard.fd = fd;
    tryGrab(keyboard);  // a failed grab leaves the keyboard to the desktop
    keyboards_.push_back(std::move(keyboard));
}

void EvdevRelay::forwardLights(int fd) {
    lights_ = fd;
    watch(fd, [this] { return readLights(); });
}

void EvdevRelay::watch(int fd, std::function<bool()> onReadable) { watches_.emplace_back(fd, std::move(onReadable)); }

bool EvdevRelay::readLights() {
    input_event events[16];
    const ssize_t got = ::read(lights_, events, sizeof events);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof(input_event); ++i) {
        if (events[i].type != EV_LED || !control_.setLight) continue;
        for (const auto& keyboard : keyboards_) {
            if (keyboard.grabbed) control_.setLight(keyboard.fd, events[i]);
        }
    }
    return true;
}

EvdevRelay::~EvdevRelay() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool EvdevRelay::tryGrab(Keyboard& keyboard) {
    KeyState held;
    if (control_.heldKeys && control_.heldKeys(keyboard.fd, &held) && held.any()) return true;  // later
    if (control_.grab && !control_.grab(keyboard.fd)) return false;
    keyboard.grabbed = true;
    keyboard.held.reset();
    keyboard.swallowed.reset();
    keyboard.frame.clear();
    return true;
}

bool EvdevRelay::grabIdleKeyboards() {
    for (auto& keyboard : keyboards_) {
        if (!keyboard.grabbed && !tryGrab(keyboard)) return false;
    }
    return true;
}

void EvdevRelay::stop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void EvdevRelay::run() {
    std::vector<pollfd> watched;
    while (!keyboards_.empty() || !watches_.empty()) {
        watched.clear();
        watched.push_back({wakeFd_, POLLIN, 0});
        for (const auto& keyboard : keyboards_) watched.push_back({keyboard.fd, POLLIN, 0});
        for (const auto& [fd, onReadable] : watches_) watched.push_back({fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[0].revents != 0) {
            // Stopped: the keyboards go back to the desktop with no key of
            // theirs left down on the virtual keyboard.
            for (auto& keyboard : keyboards_) releaseHeldKeys(keyboard);
            return;
        }
        // Read in descriptor order; a keyboard that has gone is dropped.
        const std::size_t keyboardCount = keyboards_.size();
        std::vector<bool> gone(keyboardCount, false);
        for (std::size_t i = 0; i < keyboardCount; ++i) {
            if (watched[i + 1].revents != 0 && !readFrom(keyboards_[i])) gone[i] = true;
        }
        for (std::size_t i = 0; i < keyboardCount; ++i) {
            if (!gone[i]) continue;
            // Its own releases never come (reads fail first): release here
            // what it holds down, or the desktop would repeat it for ever.
            releaseHeldKeys(keyboards_[i]);
            if (control_.gone) control_.gone(keyboards_[i].fd);
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < keyboardCount; ++i) {
            if (gone[i]) continue;
            if (kept != i) keyboards_[kept] = std::move(keyboards_[i]);
            ++kept;
        }
        keyboards_.resize(kept);
        // Watch callbacks may add keyboards: they run last.
        std::vector<bool> ended(watches_.size(), false);
        for (std::size_t i = 0; i < ended.size(); ++i) {
            if (watched[1 + keyboardCount + i].revents != 0) ended[i] = !watches_[i].second();
        }
        for (std::size_t i = ended.size(); i-- > 0;) {
            if (ended[i]) watches_.erase(watches_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

bool EvdevRelay::readFrom(Keyboard& keyboard) {
    std::uint8_t buffer[64 * sizeof(input_event)];
    const ssize_t got = ::read(keyboard.fd, buffer, sizeof buffer);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) return false;
    keyboard.pending.insert(keyboard.pending.end(), buffer, buffer + got);
    const std::size_t whole = keyboard.pending.size() / sizeof(input_event);
    for (std::size_t i = 0; i < whole; ++i) {
        input_event event;
        std::memcpy(&event, keyboard.pending.data() + i * sizeof(input_event), sizeof event);
        handleEvent(keyboard, event);
    }
    keyboard.pending.erase(keyboard.pending.begin(),
                           keyboard.pending.begin() + static_cast<std::ptrdiff_t>(whole * sizeof(input_event)));
    return true;
}

void EvdevRelay::handleEvent(Keyboard& keyboard, const input_event& event) {
    if (!keyboard.grabbed) {
        // The desktop still reads this keyboard itself; grab it once its
        // last key is up.
        if (isReport(event)) tryGrab(keyboard);
        return;
    }
    if (event.type == EV_SYN && event.code == SYN_DROPPED) {
        // The kernel lost events: drop up to the next report, then take the
        // keys held from the device itself.
        keyboard.frame.clear();
        keyboard.dropping = true;
        return;
    }
    if (keyboard.dropping) {
        if (isReport(event)) {
            keyboard.dropping = false;
            resynchronise(keyboard);
        }
        return;
    }
    keyboard.frame.push_back(event);
    if (isReport(event)) finishFrame(keyboard);
}

void EvdevRelay::resynchronise(Keyboard& keyboard) {
    // Keys released while events were lost are released on the virtual
    // keyboard too (unless it never saw them go down), so none stays down.
    KeyState held;
    if (!control_.heldKeys || !control_.heldKeys(keyboard.fd, &held)) return;
    std::vector<input_event> releases;
    for (std::size_t code = 0; code < KEY_CNT; ++code) {
        if (!keyboard.held.test(code) || held.test(code)) continue;
        if (keyboard.swallowed.test(code)) {
            keyboard.swallowed.reset(code);
            continue;
        }
        releases.push_back(keyRelease(code));
    }
    keyboard.held = held;
    writeReleases(output_, std::move(releases));
}

void EvdevRelay::releaseHeldKeys(Keyboard& keyboard) {
    std::vector<input_event> releases;
    for (std::size_t code = 0; code < KEY_CNT; ++code) {
        if (!keyboard.held.test(code) || keyboard.swallowed.test(code)) continue;
        releases.push_back(keyRelease(code));
    }
    keyboard.held.reset();
    keyboard.swallowed.reset();
    keyboard.frame.clear();
    writeReleases(output_, std::move(releases));
}

void EvdevRelay::finishFrame(Keyboard& keyboard) {
    // A frame whose every key event is removed goes away whole, together
    // with its scan codes and report; otherwise only the removed key events
    // are left out.
    std::vector<input_event> passing;
    bool removedAny = false;
    bool keepsContent = false;
    for (const auto& event : keyboard.frame) {
        if (event.type == EV_KEY && !passesKey(keyboard, event)) {
            removedAny = true;
            continue;
        }
        if (event.type != EV_SYN && event.type != EV_MSC) keepsContent = true;
        passing.push_back(event);
    }
    keyboard.frame.clear();
    if (removedAny && !keepsContent) return;
    writeAll(output_, passing.data(), passing.size() * sizeof(input_event));
}

bool EvdevRelay::passesKey(Keyboard& keyboard, const input_event& event) {
    const std::uint16_t code = event.code;
    if (code >= KEY_CNT) return true;
    if (event.value == 0) {
        keyboard.held.reset(code);
        if (keyboard.swallowed.test(code)) {
            keyboard.swallowed.reset(code);
            return false;  // the application never saw this key go down
        }
        return true;
    }
    const bool repeat = event.value == 2;
    if (!repeat) {
        keyboard.held.set(code);
        keyboard.swallowed.reset(code);  // a new press; its release was lost
    }
    if (const std::uint64_t flag = modifierFlag(code); flag != 0) {
        // Modifiers only change the flags; the tap sees no key-down of them.
        if (flag == flagCapsLock && !repeat) capsLock_ = !capsLock_;
        return true;
    }
    TapEvent tapped;
    tapped.type = keyDownEventType;
    tapped.keyCode = reportedKeyCode(code);
    tapped.autorepeat = repeat ? 1 : 0;
    tapped.flags = flags();
    const bool removed = callback_(tapped) == TapVerdict::remove;
    if (keyboard.swallowed.test(code)) return false;  // repeats of a removed key-down
    if (removed && !repeat) keyboard.swallowed.set(code);
    return !removed;
}

std::uint64_t EvdevRelay::flags() const {
    std::uint64_t mask = capsLock_ ? flagCapsLock : 0;
    for (const auto& keyboard : keyboards_) {
        if (!keyboard.grabbed) continue;
        for (std::uint16_t code : {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_LEFTALT,
                                   KEY_RIGHTALT, KEY_LEFTMETA, KEY_RIGHTMETA, KEY_FN}) {
            if (keyboard.held.test(code)) mask |= modifierFlag(code);
        }
    }
    return mask;
}

}  // namespace keychord::platform::linux_input
