// keychord-probe against a real GTK window, under a headless desktop
// (scripts/desktop-session.sh): every rectangle is compared with where the
// window really is (xwininfo) and where GTK draws its text.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "child_process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
};

// The frame named `name` in a shortcut line, if it is there.
std::optional<Frame> frameIn(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("\"" + name + "\":{");
    if (at == std::string::npos) return std::nullopt;
    Frame frame;
    int consumed = 0;
    if (std::sscanf(line.c_str() + at + name.size() + 4, "\"x\":%lf,\"y\":%lf,\"width\":%lf,\"height\":%lf}%n",
                    &frame.x, &frame.y, &frame.width, &frame.height, &consumed) != 4 ||
        consumed == 0) {
        return std::nullopt;
    }
    return frame;
}

// The number after `label` in `text`.
std::optional<int> numberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::atoi(text.c_str() + at + label.size());
}

// The window's upper-left corner on the screen, from the X server.
std::pair<int, int> windowOrigin() {
    const auto result = testsupport::runToEnd({"/usr/bin/xwininfo", "-name", "keychord e2e"});
    const auto x = numberAfter(result.output, "Absolute upper-left X:");
    const auto y = numberAfter(result.output, "Absolute upper-left Y:");
    if (!x || !y) {
        ADD_FAILURE() << "xwininfo: " << result.output << result.error;
        return {0, 0};
    }
    return {*x, *y};
}

bool windowUnmapped() {
    const auto result = testsupport::runToEnd({"/usr/bin/xwininfo", "-name", "keychord e2e"});
    return result.output.find("IsUnMapped") != std::string::npos;
}

class DesktopE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        window_ = new ChildProcess({GTK_TEST_WINDOW_PATH});
        const auto ready = window_->readLine(20s);
        ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << window_->standardError();
        probe_ = new ChildProcess({KEYCHORD_PROBE_PATH});
    }
    static void TearDownTestSuite() {
        delete probe_;
        delete window_;
        probe_ = nullptr;
        window_ = nullptr;
    }

    // Focuses a widget; its rectangles in window coordinates as GTK has
    // them: input x y w h, then caret x y w h or nothing.
    static std::pair<Frame, std::optional<Frame>> focus(const std::string& widget) {
        window_->writeInput("focus " + widget + "\n");
        const auto answer = window_->readLine(10s);
        EXPECT_TRUE(answer) << "the window did not focus " << widget;
        std::istringstream in(answer.value_or(""));
        std::string word, name, caretWord;
        Frame input;
        in >> word >> name >> word >> input.x >> input.y >> input.width >> input.height >> caretWord;
        if (caretWord != "caret") return {input, std::nullopt};
        Frame caret;
        if (!(in >> caret.x >> caret.y >> caret.width >> caret.height)) return {input, std::nullopt};
        return {input, caret};
    }

    static std::string press(std::chrono::milliseconds timeout = 5s) {
        probe_->writeInput("\n");
        const auto line = probe_->readLine(timeout);
        EXPECT_TRUE(line) << "no shortcut line; probe error: " << probe_->standardError();
        return line.value_or("");
    }

    static ChildProcess* window_;
    static ChildProcess* probe_;
};

ChildProcess* DesktopE2e::window_ = nullptr;
ChildProcess* DesktopE2e::probe_ = nullptr;

struct InputCase {
    const char* widget;
};

class DesktopTextInputs : public DesktopE2e, public ::testing::WithParamInterface<InputCase> {};

TEST_P(DesktopTextInputs, FramesAreWhereTheWidgetAndItsCaretAreOnScreen) {
    const auto [input, caret] = focus(GetParam().widget);
    ASSERT_TRUE(caret);
    const auto [originX, originY] = windowOrigin();
    const std::string line = press();
    ASSERT_EQ(line.rfind("fn-space\t{", 0), 0u) << line;

    const auto inputFrame = frameIn(line, "inputFrame");
    ASSERT_TRUE(inputFrame) << line;
    EXPECT_EQ(inputFrame->x, originX + input.x);
    EXPECT_EQ(inputFrame->y, originY + input.y);
    EXPECT_EQ(inputFrame->width, input.width);
    EXPECT_EQ(inputFrame->height, input.height);

    const auto caretFrame = frameIn(line, "caretFrame");
    ASSERT_TRUE(caretFrame) << line;
    EXPECT_NEAR(caretFrame->x, originX + caret->x, 1.0);  // pixel rounding of the text layout
    EXPECT_EQ(caretFrame->y, originY + caret->y);
    EXPECT_EQ(caretFrame->width, 1);  // an empty range is one point wide
    EXPECT_EQ(caretFrame->height, caret->height);  // the height of the caret's line
}

INSTANTIATE_TEST_SUITE_P(Widgets, DesktopTextInputs,
                         ::testing::Values(InputCase{"filled"}, InputCase{"empty"}, InputCase{"password"},
                                           InputCase{"text"}),
                         [](const auto& info) { return std::string(info.param.widget); });

TEST_F(DesktopE2e, FocusedButtonGivesNeitherFrame) {
    const auto [input, caret] = focus("button");
    EXPECT_FALSE(caret);
    EXPECT_EQ(press(), "fn-space\t{}");
}

TEST_F(DesktopE2e, NoActiveWindowGivesNeitherFrame) {
    window_->writeInput("hide\n");
    ASSERT_EQ(window_->readLine(10s), "hidden");
    for (int i = 0; i < 100 && !windowUnmapped(); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(windowUnmapped());
    EXPECT_EQ(press(), "fn-space\t{}");
    window_->writeInput("show\n");
    EXPECT_EQ(window_->readLine(10s), "shown");
}

TEST_F(DesktopE2e, StoppedApplicationCostsAboutHalfASecond) {
    focus("filled");
    EXPECT_TRUE(frameIn(press(), "caretFrame"));

    window_->sendSignal(SIGSTOP);
    for (int round = 0; round < 2; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const std::string line = press(10s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(line.rfind("fn-space", 0), 0u) << line;
        EXPECT_LT(took, 700ms) << "round " << round;
        RecordProperty("stopped_press_ms_" + std::to_string(round),
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    window_->sendSignal(SIGCONT);

    // Once it answers again, so do the frames.
    focus("filled");
    EXPECT_TRUE(frameIn(press(), "inputFrame"));
}

}  // namespace
