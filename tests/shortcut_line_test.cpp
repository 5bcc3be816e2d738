#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "shortcut_payload.h"

namespace keychord {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct LineCase {
    const char* name;
    ShortcutPayload payload;
    std::string line;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) { return os << c.name; }

class ShortcutLineText : public ::testing::TestWithParam<LineCase> {};

TEST_P(ShortcutLineText, IsExact) { EXPECT_EQ(shortcutLine(GetParam().payload), GetParam().line); }

const FramePayload input{100, 200, 300, 24};
const FramePayload caret{112.5, 203, 1, 17};

INSTANTIATE_TEST_SUITE_P(
    Payloads, ShortcutLineText,
    ::testing::Values(
        LineCase{"neither", {}, "fn-space\t{}"},
        LineCase{"inputOnly", {input, std::nullopt},
                 "fn-space\t{\"inputFrame\":{\"x\":100,\"y\":200,\"width\":300,\"height\":24}}"},
        LineCase{"caretOnly", {std::nullopt, caret},
                 "fn-space\t{\"caretFrame\":{\"x\":112.5,\"y\":203,\"width\":1,\"height\":17}}"},
        LineCase{"both", {input, caret},
                 "fn-space\t{\"inputFrame\":{\"x\":100,\"y\":200,\"width\":300,\"height\":24},"
                 "\"caretFrame\":{\"x\":112.5,\"y\":203,\"width\":1,\"height\":17}}"},
        LineCase{"zeroAndNegative", {FramePayload{0, -0.0, -5, -0.25}, std::nullopt},
                 "fn-space\t{\"inputFrame\":{\"x\":0,\"y\":-0,\"width\":-5,\"height\":-0.25}}"},
        LineCase{"nanInCaret", {input, FramePayload{1, 2, nan, 4}}, "fn-space"},
        LineCase{"infInInput", {FramePayload{inf, 2, 3, 4}, caret}, "fn-space"},
        LineCase{"negInfHeight", {std::nullopt, FramePayload{1, 2, 3, -inf}}, "fn-space"}),
    [](const auto& info) { return std::string(info.param.name); });

// Pulls every number out of a line's JSON text.
std::vector<std::string> numberTexts(const std::string& line) {
    std::vector<std::string> numbers;
    std::size_t i = 0;
    while ((i = line.find(':', i)) != std::string::npos) {
        ++i;
        if (line[i] == '{') continue;
        const std::size_t end = line.find_first_of(",}", i);
        numbers.push_back(line.substr(i, end - i));
    }
    return numbers;
}

bool sameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ShortcutLineNumbers, EveryNumberReadsBackAsTheSameDouble) {
    std::mt19937_64 random(20261210);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.1,
                                  1.0 / 3,
                                  -1e-300,
                                  5e-324,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(),
                                  -std::numeric_limits<double>::max(),
                                  9007199254740993.0,
                                  1e21,
                                  123456789012345680000.0};
    for (int i = 0; i < 20000; ++i) {
        double d;
        do {
            const std::uint64_t bits = random();
            std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        values.push_back(d);
    }
    for (std::size_t i = 0; i + 8 <= values.size(); i += 8) {
        const ShortcutPayload payload{FramePayload{values[i], values[i + 1], values[i + 2], values[i + 3]},
                                      FramePayload{values[i + 4], values[i + 5], values[i + 6], values[i + 7]}};
        const std::string line = shortcutLine(payload);
        ASSERT_EQ(line.find_first_of("\n\r "), std::string::npos) << line;
        const auto numbers = numberTexts(line);
        ASSERT_EQ(numbers.size(), 8u) << line;
        for (std::size_t k = 0; k < 8; ++k) {
            char* end = nullptr;
            const double back = std::strtod(numbers[k].c_str(), &end);
            EXPECT_EQ(*end, '\0') << numbers[k];
            EXPECT_TRUE(sameDouble(back, values[i + k])) << numbers[k];
            // A JSON number: optional minus, then a digit (no "+", no ".5", no "inf").
            const char first = numbers[k][0] == '-' ? numbers[k][1] : numbers[k][0];
            EXPECT_TRUE(first >= '0' && first <= '9') << numbers[k];
        }
    }
}

TEST(ShortcutPayloadKeys, NamesAreTheCaseNames) {
    EXPECT_STREQ(ShortcutPayload::stringValue(ShortcutPayload::CodingKeys::inputFrame), "inputFrame");
    EXPECT_STREQ(ShortcutPayload::stringValue(ShortcutPayload::CodingKeys::caretFrame), "caretFrame");
    EXPECT_STREQ(FramePayload::stringValue(FramePayload::CodingKeys::width), "width");
}

TEST(ShortcutPayloadEncode, FailureStopsAtTheFirstBadFrame) {
    JsonWriter writer;
    const ShortcutPayload payload{FramePayload{1, nan, 3, 4}, caret};
    EXPECT_FALSE(payload.encode(writer));
    EXPECT_EQ(writer.text().find("caretFrame"), std::string::npos);
}

}  // namespace
}  // namespace keychord
