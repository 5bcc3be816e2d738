#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "line_queue.h"
#include "monitor.h"
#include "shortcut_payload.h"

namespace keychord {
namespace {

// What reached standard output once the line writer has written every line
// handed to it.
std::string capturedStdout() {
    keychord::standardOutputLines().waitUntilWritten();
    return ::testing::internal::GetCapturedStdout();
}


using platform::FakePlatform;
using platform::TapEvent;
using platform::TapVerdict;

constexpr std::uint64_t fn = 0x800000;
const TapEvent fnSpace{10, 49, 0, fn};
const TapEvent fnSpaceRepeat{10, 49, 1, fn};
const TapEvent space{10, 49, 0, 0};
const TapEvent disabledByTimeout{0xFFFFFFFE, 0, 0, 0};
const TapEvent disabledByUserInput{0xFFFFFFFF, 0, 0, 0};

TEST(DebugEventsRequested, OnlyTheExactArgumentAnywhere) {
    EXPECT_TRUE(debugEventsRequested({"keychord-agent", "--debug"}));
    EXPECT_TRUE(debugEventsRequested({"--debug"}));  // the program name counts too
    EXPECT_TRUE(debugEventsRequested({"keychord-agent", "x", "--debug", "--debug"}));
    EXPECT_FALSE(debugEventsRequested({"keychord-agent"}));
    EXPECT_FALSE(debugEventsRequested({"keychord-agent", "--Debug", "-debug", "--debug=1", "--debug ", "debug"}));
}

class MonitorStart : public ::testing::Test {
protected:
    FakePlatform fake;
    platform::Platform ports = fake.ports();
};

TEST_F(MonitorStart, NotTrustedStopsBeforeTheTap) {
    fake.eventTap->setTrusted(false);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runMonitorProcess({"keychord-agent"}, ports), 2);
    EXPECT_EQ(capturedStdout(), "");
    EXPECT_EQ(fake.eventTap->calls(), (std::vector<std::string>{"isProcessTrusted"}));
}

TEST_F(MonitorStart, TapThatCannotBeCreatedStopsBeforeReady) {
    fake.eventTap->setCreationFails(true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runMonitorProcess({"keychord-agent"}, ports), 1);
    EXPECT_EQ(capturedStdout(), "");
    EXPECT_EQ(fake.eventTap->calls(), (std::vector<std::string>{"isProcessTrusted", "create"}));
}

TEST_F(MonitorStart, AttachesEnablesSaysReadyThenRuns) {
    fake.eventTap->setEvents({fnSpace, fnSpaceRepeat, space, disabledByTimeout, disabledByUserInput, fnSpace});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(runMonitorProcess({"keychord-agent"}, ports), 0);
    fake.emissionQueue->waitUntilIdle();
    const std::string output = capturedStdout();

    // No frontmost application in the empty tree: each press reports no frames.
    const std::string line = shortcutLine({}) + "\n";
    EXPECT_EQ(output, "ready\n" + line + line);
    EXPECT_EQ(fake.eventTap->calls(), (std::vector<std::string>{"isProcessTrusted", "create", "addToRunLoop",
                                                                "enable", "run", "enable", "enable"}));
    EXPECT_EQ(fake.eventTap->verdicts(),
              (std::vector<TapVerdict>{TapVerdict::remove, TapVerdict::remove, TapVerdict::pass, TapVerdict::pass,
                                       TapVerdict::pass, TapVerdict::remove}));
    EXPECT_TRUE(fake.eventTap->enabled());
}

TEST_F(MonitorStart, CallbackOutlivingTheMonitorDoesNothing) {
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(runMonitorProcess({"keychord-agent"}, ports), 0);
    EXPECT_EQ(fake.eventTap->deliver(fnSpace), TapVerdict::pass);
    EXPECT_EQ(fake.eventTap->deliver(disabledByTimeout), TapVerdict::pass);
    fake.emissionQueue->waitUntilIdle();
    EXPECT_EQ(capturedStdout(), "ready\n");
    EXPECT_EQ(fake.eventTap->calls().back(), "run");
}

TEST(HandleTapEvent, ReenablesOnlyATapItHolds) {
    FakePlatform fake;
    MonitorState state;
    state.shortcutEmissionQueue = fake.emissionQueue;
    state.accessibility = fake.accessibility;

    EXPECT_EQ(handleTapEvent(disabledByTimeout, state), TapVerdict::pass);
    EXPECT_TRUE(fake.eventTap->calls().empty());

    state.shortcutEventTap = fake.eventTap;
    EXPECT_EQ(handleTapEvent(disabledByUserInput, state), TapVerdict::pass);
    EXPECT_EQ(fake.eventTap->calls(), (std::vector<std::string>{"enable"}));
}

TEST(EmitShortcut, WritesOneLineForTheFocus) {
    platform::FakeAccessibility ax;
    const std::size_t app = ax.addElement("application");
    const std::size_t field = ax.addElement("field");
    ax.setFrontmostApplication(7, app);
    ax.setAttribute(app, "AXFocusedUIElement", platform::FakeAnswer::of(platform::FakeElement{field}));
    ax.setAttribute(field, "AXRole", platform::FakeAnswer::of(std::string("AXTextArea")));
    ax.setAttribute(field, "AXPosition", platform::FakeAnswer::of(platform::Point{10, 20}));
    ax.setAttribute(field, "AXSize", platform::FakeAnswer::of(platform::Size{30, 40}));

    ::testing::internal::CaptureStdout();
    emitShortcut(ax);
    EXPECT_EQ(capturedStdout(),
              "fn-space\t{\"inputFrame\":{\"x\":10,\"y\":20,\"width\":30,\"height\":40}}\n");
    EXPECT_EQ(ax.counts().liveReferences, 0);
}

}  // namespace
}  // namespace keychord
