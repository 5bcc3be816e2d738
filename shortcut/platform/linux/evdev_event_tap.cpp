#include "evdev_event_tap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "evdev_relay.h"

namespace keychord::platform::linux_input {

namespace {

constexpr const char* virtualDeviceName = "keychord virtual keyboard";
constexpr std::size_t bitsPerLong = sizeof(unsigned long) * CHAR_BIT;

template <std::size_t Bits>
struct BitMask {
    unsigned long words[(Bits + bitsPerLong - 1) / bitsPerLong] = {};
    bool test(std::size_t bit) const { return (words[bit / bitsPerLong] >> (bit % bitsPerLong)) & 1UL; }
};

template <std::size_t Bits>
bool readBits(int fd, unsigned type, BitMask<Bits>* mask) {
    return ::ioctl(fd, EVIOCGBIT(type, sizeof mask->words), mask->words) >= 0;
}

bool isRefusal(int error) { return error == EACCES || error == EPERM; }

std::string deviceName(int fd) {
    char name[256] = {};
    if (::ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0) return {};
    return name;
}

bool isKeyboard(int fd) {
    BitMask<EV_CNT> types;
    BitMask<KEY_CNT> keys;
    if (!readBits(fd, 0, &types) || !types.test(EV_KEY) || !readBits(fd, EV_KEY, &keys)) return false;
    std::bitset<EV_CNT> typeSet;
    for (std::size_t type = 0; type < EV_CNT; ++type) typeSet[type] = types.test(type);
    return isTappedKeyboard(typeSet, keys.test(KEY_SPACE) || keys.test(KEY_FN), deviceName(fd));
}

std::vector<std::string> eventDevices(const std::string& directory) {
    std::vector<std::pair<int, std::string>> found;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            int number = 0;
            if (std::sscanf(entry->d_name, "event%d", &number) == 1) {
                found.emplace_back(number, directory + "/" + entry->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : found) paths.push_back(std::move(path));
    return paths;
}

DeviceControl deviceControl() {
    DeviceControl control;
    control.heldKeys = [](int fd, KeyState* held) {
        BitMask<KEY_CNT> keys;
        if (::ioctl(fd, EVIOCGKEY(sizeof keys.words), keys.words) < 0) return false;
        held->reset();
        for (std::size_t code = 0; code < KEY_CNT; ++code) {
            if (keys.test(code)) held->set(code);
        }
        return true;
    };
    control.grab = [](int fd) { return ::ioctl(fd, EVIOCGRAB, 1) == 0; };
    control.setLight = [](int fd, const input_event& light) {
        input_event events[2] = {light, {}};
        events[1].type = EV_SYN;
        events[1].code = SYN_REPORT;
        [[maybe_unused]] const ssize_t written = ::write(fd, events, sizeof events);
    };
    return control;
}

}  // namespace

bool isTappedKeyboard(const std::bitset<EV_CNT>& eventTypes, bool hasSpaceOrFn, const std::string& name) {
    if (!eventTypes.test(EV_KEY) || !hasSpaceOrFn || name == virtualDeviceName) return false;
    // The virtual keyboard replays keys, scan codes, relative axes and
    // lights. A node that also reports absolute axes (a touchpad) or
    // switches is left to the desktop rather than have those lost.
    for (std::size_t type = 0; type < EV_CNT; ++type) {
        if (!eventTypes.test(type)) continue;
        if (type != EV_SYN && type != EV_KEY && type != EV_MSC && type != EV_REL && type != EV_LED &&
            type != EV_REP) {
            return false;
        }
    }
    return true;
}

EvdevEventTap::EvdevEventTap(EvdevTapOptions options) : options_(std::move(options)) {}

EvdevEventTap::~EvdevEventTap() {
    relay_.reset();
    closeAll();
}

void EvdevEventTap::closeAll() {
    for (int fd : keyboards_) ::close(fd);
    keyboards_.clear();
    keyboardPaths_.clear();
    if (uinput_ >= 0) ::close(uinput_);
    uinput_ = -1;
    if (deviceChanges_ >= 0) ::close(deviceChanges_);
    deviceChanges_ = -1;
}

int EvdevEventTap::openKeyboard(const std::string& path) {
    if (std::find(keyboardPaths_.begin(), keyboardPaths_.end(), path) != keyboardPaths_.end()) return -1;
    // Read and write: the keyboard's lights are set through it.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && isRefusal(errno)) fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // An unreadable device may be a keyboard: the tap would miss it.
        if (isRefusal(errno)) refused_ = true;
        return -1;
    }
    if (!isKeyboard(fd)) {
        ::close(fd);
        return -1;
    }
    keyboards_.push_back(fd);
    keyboardPaths_.push_back(path);
    return fd;
}

void EvdevEventTap::scan() {
    if (scanned_) return;
    scanned_ = true;
    if (options_.onlyDevices.empty()) {
        // Watch before listing, so no keyboard plugged in between is missed.
        deviceChanges_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (deviceChanges_ >= 0 &&
            ::inotify_add_watch(deviceChanges_, options_.inputDirectory.c_str(), IN_CREATE | IN_ATTRIB) < 0) {
            ::close(deviceChanges_);
            deviceChanges_ = -1;
        }
    }
    const auto paths = options_.onlyDevices.empty() ? eventDevices(options_.inputDirectory) : options_.onlyDevices;
    for (const auto& path : paths) openKeyboard(path);
    uinput_ = ::open(options_.uinputPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

bool EvdevEventTap::readDeviceChanges() {
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = ::read(deviceChanges_, buffer, sizeof buffer);
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    for (ssize_t offset = 0; offset < got;) {
        const auto* change = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + change->len);
        int number = 0;
        if (change->len == 0 || std::sscanf(change->name, "event%d", &number) != 1) continue;
        // udev makes the node, then gives it its group: try at both steps.
        const int fd = openKeyboard(options_.inputDirectory + "/" + change->name);
        if (fd >= 0) relay_->addKeyboard(fd);
    }
    return true;
}

bool EvdevEventTap::isProcessTrusted() {
    scan();
    return !refused_ && !keyboards_.empty() && uinput_ >= 0;
}

bool EvdevEventTap::create(TapCallback callback) {
    scan();
    if (!isProcessTrusted()) return false;

    // The virtual keyboard offers every key, miscellaneous event (scan
    // codes), relative axis and light of the keyboards it stands in for. It
    // has no repeat of its own: the keyboards' repeats pass through.
    BitMask<KEY_CNT> keys;
    BitMask<REL_CNT> axes;
    BitMask<LED_CNT> lights;
    BitMask<MSC_CNT> miscs;
    bool hasAxes = false;
    bool hasLights = false;
    for (int fd : keyboards_) {
        BitMask<EV_CNT> types;
        BitMask<KEY_CNT> deviceKeys;
        BitMask<REL_CNT> deviceAxes;
        BitMask<LED_CNT> deviceLights;
        BitMask<MSC_CNT> deviceMiscs;
        if (!readBits(fd, 0, &types)) continue;
        if (types.test(EV_MSC) && readBits(fd, EV_MSC, &deviceMiscs)) {
            for (std::size_t i = 0; i < std::size(miscs.words); ++i) miscs.words[i] |= deviceMiscs.words[i];
        }
        if (readBits(fd, EV_KEY, &deviceKeys)) {
            for (std::size_t i = 0; i < std::size(keys.words); ++i) keys.words[i] |= deviceKeys.words[i];
        }
        if (types.test(EV_REL) && readBits(fd, EV_REL, &deviceAxes)) {
            hasAxes = true;
            for (std::size_t i = 0; i < std::size(axes.words); ++i) axes.words[i] |= deviceAxes.words[i];
        }
        if (types.test(EV_LED) && readBits(fd, EV_LED, &deviceLights)) {
            hasLights = true;
            for (std::size_t i = 0; i < std::size(lights.words); ++i) lights.words[i] |= deviceLights.words[i];
        }
    }
    bool ok = ::ioctl(uinput_, UI_SET_EVBIT, EV_SYN) == 0 && ::ioctl(uinput_, UI_SET_EVBIT, EV_KEY) == 0 &&
              ::ioctl(uinput_, UI_SET_EVBIT, EV_MSC) == 0 && ::ioctl(uinput_, UI_SET_MSCBIT, MSC_SCAN) == 0;
    for (int misc = 0; ok && misc < MSC_CNT; ++misc) {
        if (misc != MSC_SCAN && miscs.test(static_cast<std::size_t>(misc))) {
            ok = ::ioctl(uinput_, UI_SET_MSCBIT, misc) == 0;
        }
    }
    for (int code = 1; ok && code < KEY_CNT; ++code) {
        if (keys.test(static_cast<std::size_t>(code)) || code <= KEY_MICMUTE) {
            ok = ::ioctl(uinput_, UI_SET_KEYBIT, code) == 0;
        }
    }
    if (ok && hasAxes) {
        ok = ::ioctl(uinput_, UI_SET_EVBIT, EV_REL) == 0;
        for (int axis = 0; ok && axis < REL_CNT; ++axis) {
            if (axes.test(static_cast<std::size_t>(axis))) ok = ::ioctl(uinput_, UI_SET_RELBIT, axis) == 0;
        }
    }
    if (ok && hasLights) {
        ok = ::ioctl(uinput_, UI_SET_EVBIT, EV_LED) == 0;
        for (int light = 0; ok && light < LED_CNT; ++light) {
            if (lights.test(static_cast<std::size_t>(light))) ok = ::ioctl(uinput_, UI_SET_LEDBIT, light) == 0;
        }
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::strncpy(setup.name, virtualDeviceName, UINPUT_MAX_NAME_SIZE - 1);
    ok = ok && ::ioctl(uinput_, UI_DEV_SETUP, &setup) == 0 && ::ioctl(uinput_, UI_DEV_CREATE) == 0;
    if (!ok) return false;
    char sysName[64] = {};
    if (::ioctl(uinput_, UI_GET_SYSNAME(sizeof sysName - 1), sysName) >= 0) virtualName_ = sysName;

    DeviceControl control = deviceControl();
    control.gone = [this](int fd) {
        const auto found = std::find(keyboards_.begin(), keyboards_.end(), fd);
        if (found == keyboards_.end()) return;
        keyboardPaths_.erase(keyboardPaths_.begin() + (found - keyboards_.begin()));
        keyboards_.erase(found);
        ::close(fd);
    };
    relay_ = std::make_unique<EvdevRelay>(keyboards_, uinput_, std::move(control), std::move(callback));
    if (hasLights) relay_->forwardLights(uinput_);
    if (deviceChanges_ >= 0) relay_->watch(deviceChanges_, [this] { return readDeviceChanges(); });
    return relay_->grabIdleKeyboards();
}

void EvdevEventTap::run() {
    if (relay_) relay_->run();
}

void EvdevEventTap::stop() {
    if (relay_) relay_->stop();
}

}  // namespace keychord::platform::linux_input
