// The Linux event tap on real kernel devices: a uinput keyboard made by the
// test stands in for the user's keyboard (the tap is told to take only that
// one), and what the tap's virtual keyboard replays is read back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "evdev_event_tap.h"
#include "key_codes.h"

namespace {

using namespace std::chrono_literals;
using keychord::platform::TapEvent;
using keychord::platform::TapVerdict;
using namespace keychord::platform::linux_input;

// The /dev/input/eventN node of a uinput device, once udev has made it.
std::string eventNode(const std::string& sysName) {
    const std::string directory = "/sys/devices/virtual/input/" + sysName;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (DIR* dir = ::opendir(directory.c_str())) {
            std::string found;
            while (const dirent* entry = ::readdir(dir)) {
                if (std::string(entry->d_name).rfind("event", 0) == 0) found = entry->d_name;
            }
            ::closedir(dir);
            if (!found.empty() && ::access(("/dev/input/" + found).c_str(), R_OK) == 0) return "/dev/input/" + found;
        }
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

void emit(int fd, std::uint16_t type, std::uint16_t code, std::int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    ASSERT_EQ(::write(fd, &event, sizeof event), ssize_t(sizeof event));
}

void key(int fd, std::uint16_t code, std::int32_t value) {
    emit(fd, EV_KEY, code, value);
    emit(fd, EV_SYN, SYN_REPORT, 0);
}

TEST(EvdevDevice, FnSpaceIsSwallowedOtherKeysReachTheVirtualKeyboard) {
    if (::access("/dev/uinput", W_OK) != 0) {
        GTEST_SKIP() << "/dev/uinput is missing or not writable here (no uinput module, a container, or no "
                        "permission): the event tap is tested through pipes only";
    }
    const int source = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(source, 0);
    for (int code : {KEY_SPACE, KEY_FN, KEY_A}) ASSERT_EQ(::ioctl(source, UI_SET_KEYBIT, code), 0);
    ASSERT_EQ(::ioctl(source, UI_SET_EVBIT, EV_KEY), 0);
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::snprintf(setup.name, sizeof setup.name, "keychord test keyboard");
    ASSERT_EQ(::ioctl(source, UI_DEV_SETUP, &setup), 0);
    ASSERT_EQ(::ioctl(source, UI_DEV_CREATE), 0);
    char sysName[64] = {};
    ASSERT_GE(::ioctl(source, UI_GET_SYSNAME(sizeof sysName - 1), sysName), 0);
    const std::string sourceNode = eventNode(sysName);
    if (sourceNode.empty()) {
        ::close(source);
        GTEST_SKIP() << "no /dev/input node appeared for a uinput device (no udev here)";
    }

    EvdevTapOptions options;
    options.onlyDevices = {sourceNode};
    EvdevEventTap tap(options);
    ASSERT_TRUE(tap.isProcessTrusted());
    std::atomic<int> reported{0};
    ASSERT_TRUE(tap.create([&reported](const TapEvent& event) {
        if (event.keyCode != 49 || (event.flags & flagFn) == 0) return TapVerdict::pass;
        if (event.autorepeat == 0) ++reported;
        return TapVerdict::remove;
    }));
    const std::string replayNode = eventNode(tap.virtualKeyboardName());
    ASSERT_FALSE(replayNode.empty());
    const int replay = ::open(replayNode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(replay, 0);
    std::thread loop([&tap] { tap.run(); });

    key(source, KEY_FN, 1);
    key(source, KEY_SPACE, 1);
    key(source, KEY_SPACE, 2);
    key(source, KEY_SPACE, 0);
    key(source, KEY_FN, 0);
    key(source, KEY_A, 1);
    key(source, KEY_A, 0);

    // The replayed key events, until A goes up.
    std::vector<std::pair<int, int>> keys;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && !(keys.size() >= 1 && keys.back() == std::pair{KEY_A, 0})) {
        pollfd ready{replay, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        input_event event;
        while (::read(replay, &event, sizeof event) == ssize_t(sizeof event)) {
            if (event.type == EV_KEY) keys.emplace_back(event.code, event.value);
        }
    }
    tap.stop();
    loop.join();
    ::close(replay);
    ::ioctl(source, UI_DEV_DESTROY);
    ::close(source);

    const std::vector<std::pair<int, int>> expected = {{KEY_FN, 1}, {KEY_FN, 0}, {KEY_A, 1}, {KEY_A, 0}};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(reported.load(), 1);
}

}  // namespace
