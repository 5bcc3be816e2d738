// The Linux keyboard loop over pipes standing in for the grabbed keyboards
// and the virtual keyboard.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "evdev_event_tap.h"
#include "evdev_relay.h"
#include "key_codes.h"
#include "line_queue.h"

namespace {

using keychord::platform::TapEvent;
using keychord::platform::TapVerdict;
using namespace keychord::platform::linux_input;

using Bytes = std::vector<std::uint8_t>;

input_event makeEvent(std::uint16_t type, std::uint16_t code, std::int32_t value, int serial) {
    input_event event{};
    event.input_event_sec = 1000 + serial;  // distinct bytes in every event
    event.input_event_usec = serial;
    event.type = type;
    event.code = code;
    event.value = value;
    return event;
}

// One frame of a key: scan code, key event, report.
Bytes keyFrame(std::uint16_t code, std::int32_t value) {
    static int serial = 0;
    ++serial;
    const input_event events[] = {makeEvent(EV_MSC, MSC_SCAN, 0x70000 + code, serial),
                                  makeEvent(EV_KEY, code, value, serial),
                                  makeEvent(EV_SYN, SYN_REPORT, 0, serial)};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(events);
    return Bytes(bytes, bytes + sizeof events);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        closeWrite();
    }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void put(const Bytes& bytes) const { ASSERT_EQ(::write(write, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
};

// What the shortcut decision does with a key-down: Fn+Space is removed, and
// reported unless it repeats.
struct ShortcutRecorder {
    std::vector<TapEvent> seen;
    int reported = 0;
    TapVerdict operator()(const TapEvent& event) {
        seen.push_back(event);
        if (event.keyCode != 49 || (event.flags & flagFn) == 0) return TapVerdict::pass;
        if (event.autorepeat == 0) ++reported;
        return TapVerdict::remove;
    }
};

// Runs the relay over `keyboards` pipes until their writers close.
class RelayFixture : public ::testing::Test {
protected:
    void start(std::size_t keyboardCount, DeviceControl control = {}) {
        keyboards_.resize(keyboardCount);
        std::vector<int> fds;
        for (auto& keyboard : keyboards_) fds.push_back(keyboard.read);
        relay_ = std::make_unique<EvdevRelay>(fds, output_.write, std::move(control),
                                              [this](const TapEvent& event) { return recorder_(event); });
        ASSERT_TRUE(relay_->grabIdleKeyboards());
        thread_ = std::thread([this] { relay_->run(); });
    }

    // Closes the keyboards, waits for the loop to end and returns what
    // reached the virtual keyboard before they closed. The releases the
    // relay makes for keys still held when a keyboard goes (events with no
    // time of their own) are kept apart in releasedAtEnd_.
    // With `stopFirst` the loop is stopped instead, then the keyboards close.
    Bytes finish(bool stopFirst = false) {
        if (stopFirst) relay_->stop();
        for (auto& keyboard : keyboards_) keyboard.closeWrite();
        thread_.join();
        output_.closeWrite();
        Bytes all;
        std::uint8_t buffer[4096];
        ssize_t got;
        while ((got = ::read(output_.read, buffer, sizeof buffer)) > 0) all.insert(all.end(), buffer, buffer + got);
        std::vector<input_event> events(all.size() / sizeof(input_event));
        if (!events.empty()) std::memcpy(events.data(), all.data(), events.size() * sizeof(input_event));
        std::size_t relayed = events.size();
        while (relayed > 0 && events[relayed - 1].input_event_sec == 0) --relayed;
        releasedAtEnd_.assign(events.begin() + static_cast<std::ptrdiff_t>(relayed), events.end());
        all.resize(relayed * sizeof(input_event));
        return all;
    }

    std::vector<input_event> releasedAtEnd_;

    // Waits until the virtual keyboard has received `expected` bytes.
    Bytes readOutput(std::size_t expected) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < expected && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{output_.read, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            std::uint8_t buffer[4096];
            const ssize_t n = ::read(output_.read, buffer, std::min(sizeof buffer, expected - got.size()));
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    void TearDown() override {
        if (thread_.joinable()) {
            relay_->stop();
            thread_.join();
        }
    }

    std::vector<Pipe> keyboards_;
    Pipe output_;
    ShortcutRecorder recorder_;
    std::unique_ptr<EvdevRelay> relay_;
    std::thread thread_;
};

TEST_F(RelayFixture, FnSpaceIsSwallowedAndReportedOnceEverythingElsePassesInOrder) {
    start(1);
    const Bytes aDown = keyFrame(KEY_A, 1), aUp = keyFrame(KEY_A, 0), fnDown = keyFrame(KEY_FN, 1),
                spaceDown = keyFrame(KEY_SPACE, 1), repeat1 = keyFrame(KEY_SPACE, 2),
                repeat2 = keyFrame(KEY_SPACE, 2), spaceUp = keyFrame(KEY_SPACE, 0), fnUp = keyFrame(KEY_FN, 0),
                plainSpaceDown = keyFrame(KEY_SPACE, 1), plainSpaceUp = keyFrame(KEY_SPACE, 0),
                nDown = keyFrame(KEY_N, 1), nUp = keyFrame(KEY_N, 0);
    keyboards_[0].put(concat({aDown, aUp, fnDown, spaceDown, repeat1, repeat2, spaceUp, fnUp, plainSpaceDown,
                              plainSpaceUp, nDown, nUp}));

    EXPECT_EQ(finish(), concat({aDown, aUp, fnDown, fnUp, plainSpaceDown, plainSpaceUp, nDown, nUp}));
    EXPECT_EQ(recorder_.reported, 1);
    // Key-downs only, modifiers excepted; Space is 49 and stays apart from N.
    ASSERT_EQ(recorder_.seen.size(), 6u);
    EXPECT_EQ(recorder_.seen[0].keyCode, 0);  // A
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(recorder_.seen[i].type, 10u);
        EXPECT_EQ(recorder_.seen[i].keyCode, 49);
        EXPECT_EQ(recorder_.seen[i].flags, flagFn);
        EXPECT_EQ(recorder_.seen[i].autorepeat, i == 1 ? 0 : 1);
    }
    EXPECT_EQ(recorder_.seen[4].keyCode, 49);
    EXPECT_EQ(recorder_.seen[4].flags, 0u);
    EXPECT_NE(recorder_.seen[5].keyCode, 49);  // N
}

TEST_F(RelayFixture, RepeatsAndReleaseOfASwallowedKeyStaySwallowedAfterFnIsReleased) {
    start(1);
    const Bytes fnDown = keyFrame(KEY_FN, 1), spaceDown = keyFrame(KEY_SPACE, 1), fnUp = keyFrame(KEY_FN, 0),
                repeat = keyFrame(KEY_SPACE, 2), spaceUp = keyFrame(KEY_SPACE, 0);
    keyboards_[0].put(concat({fnDown, spaceDown, fnUp, repeat, spaceUp}));

    EXPECT_EQ(finish(), concat({fnDown, fnUp}));
    EXPECT_EQ(recorder_.reported, 1);
    ASSERT_EQ(recorder_.seen.size(), 2u);
    EXPECT_EQ(recorder_.seen[1].flags, 0u);  // the tap still sees the repeat
}

TEST_F(RelayFixture, OnlyTheRemovedKeyLeavesAFrameWithOtherKeys) {
    start(1);
    const Bytes fnDown = keyFrame(KEY_FN, 1);
    const input_event both[] = {makeEvent(EV_KEY, KEY_SPACE, 1, 500), makeEvent(EV_KEY, KEY_B, 1, 501),
                                makeEvent(EV_SYN, SYN_REPORT, 0, 502)};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(both);
    keyboards_[0].put(concat({fnDown, Bytes(bytes, bytes + sizeof both)}));

    const auto* kept = reinterpret_cast<const std::uint8_t*>(&both[1]);
    EXPECT_EQ(finish(), concat({fnDown, Bytes(kept, kept + 2 * sizeof(input_event))}));
    EXPECT_EQ(recorder_.reported, 1);
}

TEST_F(RelayFixture, EventsSplitAcrossReadsPassWhole) {
    start(1);
    const Bytes frames = concat({keyFrame(KEY_A, 1), keyFrame(KEY_A, 0)});
    const std::size_t cut = sizeof(input_event) + 5;
    keyboards_[0].put(Bytes(frames.begin(), frames.begin() + cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    keyboards_[0].put(Bytes(frames.begin() + cut, frames.end()));

    EXPECT_EQ(finish(), frames);
    EXPECT_EQ(recorder_.seen.size(), 1u);
}

TEST_F(RelayFixture, FnOnOneKeyboardAppliesToSpaceOnAnother) {
    start(2);
    const Bytes fnDown = keyFrame(KEY_FN, 1);
    keyboards_[1].put(fnDown);
    EXPECT_EQ(readOutput(fnDown.size()), fnDown);
    keyboards_[0].put(concat({keyFrame(KEY_SPACE, 1), keyFrame(KEY_SPACE, 0)}));

    EXPECT_EQ(finish(), Bytes());
    EXPECT_EQ(recorder_.reported, 1);
}

struct ModifierCase {
    const char* name;
    std::vector<std::uint16_t> pressed;  // held (caps lock: pressed and released)
    std::uint64_t flags;
};

class RelayModifierTest : public RelayFixture, public ::testing::WithParamInterface<ModifierCase> {};

TEST_P(RelayModifierTest, KeyDownCarriesTheModifierFlags) {
    start(1);
    Bytes input;
    for (std::uint16_t code : GetParam().pressed) {
        const Bytes down = keyFrame(code, 1);
        input.insert(input.end(), down.begin(), down.end());
        if (code == KEY_CAPSLOCK) {
            const Bytes up = keyFrame(code, 0);
            input.insert(input.end(), up.begin(), up.end());
        }
    }
    const Bytes zDown = keyFrame(KEY_Z, 1);
    input.insert(input.end(), zDown.begin(), zDown.end());
    keyboards_[0].put(input);

    EXPECT_EQ(finish(), input);
    ASSERT_EQ(recorder_.seen.size(), 1u);
    EXPECT_EQ(recorder_.seen[0].keyCode, 0x06);  // Z
    EXPECT_EQ(recorder_.seen[0].flags, GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(
    Modifiers, RelayModifierTest,
    ::testing::Values(ModifierCase{"none", {}, 0}, ModifierCase{"leftShift", {KEY_LEFTSHIFT}, flagShift},
                      ModifierCase{"rightShift", {KEY_RIGHTSHIFT}, flagShift},
                      ModifierCase{"control", {KEY_RIGHTCTRL}, flagControl},
                      ModifierCase{"option", {KEY_LEFTALT}, flagOption},
                      ModifierCase{"command", {KEY_LEFTMETA}, flagCommand},
                      ModifierCase{"capsLockOn", {KEY_CAPSLOCK}, flagCapsLock},
                      ModifierCase{"capsLockOffAgain", {KEY_CAPSLOCK, KEY_CAPSLOCK}, 0},
                      ModifierCase{"fnShiftCommand", {KEY_FN, KEY_LEFTSHIFT, KEY_RIGHTMETA},
                                   flagFn | flagShift | flagCommand}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayFixture, KeyboardWithAKeyDownIsGrabbedOnlyOnceItsKeysAreUp) {
    // Enter is still down from starting the agent: its release must reach
    // the desktop straight from the keyboard, not through the relay.
    struct Shared {
        std::atomic<bool> enterDown{true};
        std::atomic<int> grabs{0};
        std::atomic<bool> grabbedWhileDown{false};
    };
    auto shared = std::make_shared<Shared>();
    DeviceControl control;
    control.heldKeys = [shared](int, KeyState* held) {
        held->reset();
        if (shared->enterDown) held->set(KEY_ENTER);
        return true;
    };
    control.grab = [shared](int) {
        ++shared->grabs;
        if (shared->enterDown) shared->grabbedWhileDown = true;
        return true;
    };
    start(1, control);
    EXPECT_EQ(shared->grabs, 0);

    // The relay only reads the keyboard until the release; the device's key
    // state changes with the release (as the kernel's does).
    shared->enterDown = false;
    const Bytes enterUp = keyFrame(KEY_ENTER, 0), aDown = keyFrame(KEY_A, 1), aUp = keyFrame(KEY_A, 0);
    keyboards_[0].put(concat({enterUp, aDown, aUp}));

    EXPECT_EQ(finish(), concat({aDown, aUp}));
    EXPECT_EQ(shared->grabs, 1);
    EXPECT_FALSE(shared->grabbedWhileDown);
    EXPECT_EQ(recorder_.seen.size(), 1u);
}

TEST_F(RelayFixture, LightsOfTheVirtualKeyboardAreSetOnTheKeyboards) {
    struct Light {
        int fd;
        std::uint16_t code;
        std::int32_t value;
    };
    auto lit = std::make_shared<std::vector<Light>>();
    DeviceControl control;
    control.setLight = [lit](int fd, const input_event& light) { lit->push_back({fd, light.code, light.value}); };
    Pipe lights;
    keyboards_.resize(2);
    relay_ = std::make_unique<EvdevRelay>(std::vector<int>{keyboards_[0].read, keyboards_[1].read}, output_.write,
                                          control, [this](const TapEvent& event) { return recorder_(event); });
    ASSERT_TRUE(relay_->grabIdleKeyboards());
    relay_->forwardLights(lights.read);
    thread_ = std::thread([this] { relay_->run(); });

    const input_event capsOn[] = {makeEvent(EV_LED, LED_CAPSL, 1, 700), makeEvent(EV_SYN, SYN_REPORT, 0, 701)};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(capsOn);
    lights.put(Bytes(bytes, bytes + sizeof capsOn));
    lights.closeWrite();
    // A keyboard event after the lights: once it is out, the lights are set.
    const Bytes aDown = keyFrame(KEY_A, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    keyboards_[0].put(aDown);
    EXPECT_EQ(readOutput(aDown.size()), aDown);
    relay_->stop();
    thread_.join();

    ASSERT_EQ(lit->size(), 2u);
    EXPECT_EQ((*lit)[0].fd, keyboards_[0].read);
    EXPECT_EQ((*lit)[1].fd, keyboards_[1].read);
    EXPECT_EQ((*lit)[0].code, LED_CAPSL);
    EXPECT_EQ((*lit)[0].value, 1);
}

TEST_F(RelayFixture, AKeyboardThatGoesIsReportedAndTheOthersGoOn) {
    auto goneFds = std::make_shared<std::vector<int>>();
    DeviceControl control;
    control.gone = [goneFds](int fd) { goneFds->push_back(fd); };
    start(2, control);
    keyboards_[1].closeWrite();
    const Bytes aDown = keyFrame(KEY_A, 1);
    keyboards_[0].put(aDown);
    EXPECT_EQ(readOutput(aDown.size()), aDown);

    EXPECT_EQ(finish(), Bytes());
    ASSERT_EQ(goneFds->size(), 2u);
    EXPECT_EQ((*goneFds)[0], keyboards_[1].read);
}

TEST_F(RelayFixture, KeysReleasedWhileEventsWereLostAreReleased) {
    // B went down and was relayed; the kernel then lost events (B's release
    // among them): B must not stay down on the virtual keyboard.
    DeviceControl control;
    control.heldKeys = [](int, KeyState* held) {
        held->reset();
        return true;
    };
    start(1, control);
    const Bytes bDown = keyFrame(KEY_B, 1);
    const input_event lost[] = {makeEvent(EV_SYN, SYN_DROPPED, 0, 800), makeEvent(EV_KEY, KEY_C, 1, 801),
                                makeEvent(EV_SYN, SYN_REPORT, 0, 802)};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(lost);
    const Bytes aDown = keyFrame(KEY_A, 1);
    keyboards_[0].put(concat({bDown, Bytes(bytes, bytes + sizeof lost), aDown}));

    const Bytes out = finish();
    ASSERT_EQ(out.size(), bDown.size() + 2 * sizeof(input_event) + aDown.size());
    input_event release[2];
    std::memcpy(release, out.data() + bDown.size(), sizeof release);
    EXPECT_EQ(release[0].type, EV_KEY);
    EXPECT_EQ(release[0].code, KEY_B);
    EXPECT_EQ(release[0].value, 0);
    EXPECT_EQ(release[1].type, EV_SYN);
    EXPECT_EQ(Bytes(out.end() - static_cast<std::ptrdiff_t>(aDown.size()), out.end()), aDown);
}

TEST_F(RelayFixture, StopEndsTheLoop) {
    start(1);
    relay_->stop();
    thread_.join();
    SUCCEED();
}

// Faults of the relay's surroundings. When a keyboard goes (unplugged, a
// Bluetooth drop) its own releases never come: every key it holds down on
// the virtual keyboard is released there, with a report, except keys it
// swallowed. The same when the loop is stopped (the agent ends).
struct EndCase {
    const char* name;
    std::vector<std::uint16_t> pressed;   // in order; Space after Fn is swallowed
    bool stopped;                         // the loop is stopped rather than the keyboard closed
    std::vector<std::uint16_t> released;  // in code order
};

class RelayEndTest : public RelayFixture, public ::testing::WithParamInterface<EndCase> {};

TEST_P(RelayEndTest, KeysHeldWhenTheKeyboardGoesAreReleased) {
    start(1);
    Bytes input;
    std::size_t passing = 0;
    for (std::uint16_t code : GetParam().pressed) {
        const Bytes down = keyFrame(code, 1);
        input.insert(input.end(), down.begin(), down.end());
        if (code != KEY_SPACE) passing += down.size();
    }
    keyboards_[0].put(input);
    readOutput(passing);  // relayed before the end comes

    EXPECT_EQ(finish(GetParam().stopped), Bytes());
    std::vector<std::uint16_t> released;
    for (const auto& event : releasedAtEnd_) {
        if (event.type == EV_KEY) {
            EXPECT_EQ(event.value, 0) << event.code;
            released.push_back(event.code);
        }
    }
    EXPECT_EQ(released, GetParam().released);
    if (!released.empty()) {
        ASSERT_EQ(releasedAtEnd_.size(), released.size() + 1);
        EXPECT_EQ(releasedAtEnd_.back().type, EV_SYN);
        EXPECT_EQ(releasedAtEnd_.back().code, SYN_REPORT);
    } else {
        EXPECT_TRUE(releasedAtEnd_.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RelayEndTest,
    ::testing::Values(EndCase{"closedWithShiftAndAHeld", {KEY_LEFTSHIFT, KEY_A}, false, {KEY_A, KEY_LEFTSHIFT}},
                      EndCase{"closedWithFnSpaceHeld", {KEY_FN, KEY_SPACE}, false, {KEY_FN}},
                      EndCase{"closedWithNothingHeld", {}, false, {}},
                      EndCase{"stoppedWithShiftAndAHeld", {KEY_LEFTSHIFT, KEY_A}, true, {KEY_A, KEY_LEFTSHIFT}}),
    [](const auto& info) { return std::string(info.param.name); });

// A host that never reads standard output while debug lines are on: the
// relay hands each key-down's line to the line queue (as the monitor does)
// and goes on relaying; lines beyond the queue's backlog are dropped and
// counted, those written stay in order.
TEST_F(RelayFixture, HostThatNeverReadsDebugLinesDoesNotStopTheKeyboard) {
    constexpr int keyDowns = 10000;
    Pipe host;
    std::FILE* hostEnd = ::fdopen(::dup(host.write), "w");
    ASSERT_NE(hostEnd, nullptr);
    host.closeWrite();
    keychord::LineQueue::Limits limits;
    limits.debugBacklog = 1000;
    auto lines = std::make_unique<keychord::LineQueue>(hostEnd, limits);
    int counted = 0;
    keyboards_.resize(1);
    relay_ = std::make_unique<EvdevRelay>(std::vector<int>{keyboards_[0].read}, output_.write, DeviceControl{},
                                          [&](const TapEvent& event) {
                                              lines->writeDroppableLine("key=" + std::to_string(event.keyCode) +
                                                                        " n=" + std::to_string(counted++));
                                              return TapVerdict::pass;
                                          });
    ASSERT_TRUE(relay_->grabIdleKeyboards());
    thread_ = std::thread([this] { relay_->run(); });

    const Bytes down = keyFrame(KEY_A, 1), up = keyFrame(KEY_A, 0);
    std::thread typing([&] {
        for (int i = 0; i < keyDowns; ++i) keyboards_[0].put(concat({down, up}));
    });
    // Every frame reaches the virtual keyboard while nobody reads the host's pipe.
    const Bytes relayed = readOutput(keyDowns * (down.size() + up.size()));
    // A relay stuck on the host's pipe fails here rather than hang.
    if (relayed.size() < keyDowns * (down.size() + up.size())) {
        ::close(host.read);
        host.read = -1;
    }
    typing.join();
    EXPECT_EQ(relayed.size(), keyDowns * (down.size() + up.size()));
    EXPECT_EQ(finish(), Bytes());
    EXPECT_EQ(counted, keyDowns);
    EXPECT_GT(lines->droppedDebugLines(), 0u);

    // Now the host reads: what was kept comes in order, nothing mixed.
    std::thread reader([&host] {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(host.read, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
        int previous = -1;
        std::size_t at = 0, count = 0;
        while (at < text.size()) {
            const std::size_t end = text.find('\n', at);
            ASSERT_NE(end, std::string::npos);
            const std::string line = text.substr(at, end - at);
            ASSERT_EQ(line.rfind("key=0 n=", 0), 0u) << line;
            const int n = std::stoi(line.substr(8));
            EXPECT_GT(n, previous);
            previous = n;
            at = end + 1;
            ++count;
        }
        EXPECT_GT(count, 0u);
    });
    const std::uint64_t dropped = lines->droppedDebugLines();
    lines.reset();  // writes what waits
    std::fclose(hostEnd);
    reader.join();
    EXPECT_LT(dropped, static_cast<std::uint64_t>(keyDowns));
}

// Nodes the tap takes: keyboards that report nothing the virtual keyboard
// cannot replay. A keyboard with a touchpad or switches on the same node is
// left to the desktop, so none of its events is lost.
TEST(TappedDevices, OnlyPlainKeyboardsAreTaken) {
    struct Case {
        const char* name;
        std::vector<int> types;
        bool spaceOrFn;
        const char* device;
        bool taken;
    } cases[] = {
        {"keyboard", {EV_SYN, EV_KEY, EV_MSC, EV_LED, EV_REP}, true, "AT keyboard", true},
        {"keyboardWithPointingStick", {EV_SYN, EV_KEY, EV_MSC, EV_REL}, true, "combo", true},
        {"keyboardWithTouchpad", {EV_SYN, EV_KEY, EV_MSC, EV_ABS}, true, "combo", false},
        {"keyboardWithSwitches", {EV_SYN, EV_KEY, EV_SW}, true, "combo", false},
        {"keysWithoutSpaceOrFn", {EV_SYN, EV_KEY}, false, "power button", false},
        {"noKeys", {EV_SYN, EV_REL}, true, "mouse", false},
        {"ownVirtualKeyboard", {EV_SYN, EV_KEY, EV_MSC}, true, "keychord virtual keyboard", false},
    };
    for (const auto& c : cases) {
        std::bitset<EV_CNT> types;
        for (int type : c.types) types.set(static_cast<std::size_t>(type));
        EXPECT_EQ(isTappedKeyboard(types, c.spaceOrFn, c.device), c.taken) << c.name;
    }
}

}  // namespace
