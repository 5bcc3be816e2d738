#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "tap_decision.h"

namespace keychord {
namespace {

constexpr std::uint64_t fn = 0x800000;
constexpr std::uint64_t shift = 0x20000, control = 0x40000, option = 0x80000, command = 0x100000,
                        capsLock = 0x10000;

struct DecisionCase {
    const char* name;
    std::uint32_t type;
    std::int64_t keyCode;
    std::int64_t autorepeat;
    std::uint64_t flags;
    TapAction action;
    const char* debugLine;  // with debug lines on; empty when the event gets none
};

std::ostream& operator<<(std::ostream& os, const DecisionCase& c) { return os << c.name; }

class TapDecisionTable : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(TapDecisionTable, DebugOff) {
    const DecisionCase& c = GetParam();
    const TapDecision decision = decideTapEvent(c.type, c.keyCode, c.autorepeat, c.flags, false);
    EXPECT_EQ(decision.action, c.action);
    EXPECT_TRUE(decision.debugLine.empty());
}

TEST_P(TapDecisionTable, DebugOn) {
    const DecisionCase& c = GetParam();
    const TapDecision decision = decideTapEvent(c.type, c.keyCode, c.autorepeat, c.flags, true);
    EXPECT_EQ(decision.action, c.action);
    EXPECT_EQ(decision.debugLine.view(), c.debugLine);
}

constexpr auto removeAndEmit = TapAction::removeAndEmit;
constexpr auto remove = TapAction::remove;
constexpr auto pass = TapAction::pass;
constexpr auto enableAndPass = TapAction::enableAndPass;
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t uint64Max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Events, TapDecisionTable,
    ::testing::Values(
        DecisionCase{"FnSpace", 10, 49, 0, fn, removeAndEmit, "key=49 flags=8388608 repeat=false"},
        DecisionCase{"FnSpaceRepeat", 10, 49, 1, fn, remove, "key=49 flags=8388608 repeat=true"},
        DecisionCase{"FnSpaceRepeatAnyNonZero", 10, 49, -7, fn, remove, "key=49 flags=8388608 repeat=true"},
        DecisionCase{"SpaceWithoutFn", 10, 49, 0, 0x100, pass, "key=49 flags=256 repeat=false"},
        DecisionCase{"SpaceRepeatWithoutFn", 10, 49, 1, 0, pass, "key=49 flags=0 repeat=true"},
        DecisionCase{"FnWithA", 10, 0, 0, fn, pass, "key=0 flags=8388608 repeat=false"},
        DecisionCase{"FnWithReturn", 10, 36, 0, fn, pass, "key=36 flags=8388608 repeat=false"},
        DecisionCase{"SpaceCodeInUpperBits", 10, 49 + (std::int64_t{1} << 32), 0, fn, pass,
                     "key=4294967345 flags=8388608 repeat=false"},
        DecisionCase{"FnSpaceWithShiftControlOptionCommand", 10, 49, 0, fn | shift | control | option | command,
                     removeAndEmit, "key=49 flags=10354688 repeat=false"},
        DecisionCase{"FnSpaceWithCapsLock", 10, 49, 0, fn | capsLock, removeAndEmit,
                     "key=49 flags=8454144 repeat=false"},
        DecisionCase{"SpaceWithEveryModifierButFn", 10, 49, 0, uint64Max & ~fn, pass,
                     "key=49 flags=18446744073701163007 repeat=false"},
        DecisionCase{"AllFlagBits", 10, 49, 0, uint64Max, removeAndEmit,
                     "key=49 flags=18446744073709551615 repeat=false"},
        DecisionCase{"NegativeKeyCode", 10, int64Min, 0, 0, pass, "key=-9223372036854775808 flags=0 repeat=false"},
        DecisionCase{"DisabledByTimeout", 0xFFFFFFFE, 49, 0, fn, enableAndPass, ""},
        DecisionCase{"DisabledByUserInput", 0xFFFFFFFF, 49, 0, fn, enableAndPass, ""},
        DecisionCase{"KeyUp", 11, 49, 0, fn, pass, ""},
        DecisionCase{"FlagsChanged", 12, 63, 0, fn, pass, ""},
        DecisionCase{"NullEvent", 0, 49, 0, fn, pass, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keychord
