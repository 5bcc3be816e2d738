#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include "fake_accessibility.h"
#include "focused_input.h"

namespace keychord {
namespace {

using platform::CharRange;
using platform::FakeAccessibility;
using platform::FakeAnswer;
using platform::FakeElement;
using platform::FakeRequest;
using platform::FakeTextMarkerRange;
using platform::FakeValue;
using platform::Point;
using platform::Rect;
using platform::Size;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr int markerId = 7;

// A frontmost application (pid 42) whose focused window holds a focused
// AXTextField at 100,200 300x24 with the selection at 5..8. The caret
// bounds answer for any empty range; the text-marker range is not offered
// until a case adds it, and then its bounds answer 170,204 0x18.
struct TextFieldTree {
    FakeAccessibility ax;
    std::size_t app = ax.addElement("application");
    std::size_t window = ax.addElement("window");
    std::size_t field = ax.addElement("field");
    Rect caretBounds{{150, 204}, {2, 16}};

    TextFieldTree() {
        ax.setFrontmostApplication(42, app);
        ax.setAttribute(app, "AXFocusedWindow", FakeAnswer::of(FakeElement{window}));
        ax.setAttribute(app, "AXFocusedUIElement", FakeAnswer::of(FakeElement{field}));
        ax.setAttribute(field, "AXRole", FakeAnswer::of(std::string("AXTextField")));
        ax.setAttribute(field, "AXSelectedTextRange", FakeAnswer::of(CharRange{5, 3}));
        ax.setAttribute(field, "AXPosition", FakeAnswer::of(Point{100, 200}));
        ax.setAttribute(field, "AXSize", FakeAnswer::of(Size{300, 24}));
        answerCaretBounds(FakeAnswer::of(caretBounds));
        ax.setParameterizedAttribute(field, "AXBoundsForTextMarkerRange",
                                     [](const std::optional<FakeValue>& parameter) {
                                         const auto* marker =
                                             parameter ? std::get_if<FakeTextMarkerRange>(&*parameter) : nullptr;
                                         if (marker == nullptr || marker->id != markerId) return FakeAnswer::failure();
                                         return FakeAnswer::of(Rect{{170, 204}, {0, 18}});
                                     });
    }

    // AXBoundsForRange answers `answer` for an empty range and fails for any other.
    void answerCaretBounds(FakeAnswer answer) {
        ax.setParameterizedAttribute(field, "AXBoundsForRange",
                                     [answer](const std::optional<FakeValue>& parameter) {
                                         const auto* range = parameter ? std::get_if<CharRange>(&*parameter) : nullptr;
                                         if (range == nullptr || range->length != 0) return FakeAnswer::failure();
                                         return answer;
                                     });
    }
    void offerTextMarker() {
        ax.setAttribute(field, "AXSelectedTextMarkerRange", FakeAnswer::of(FakeTextMarkerRange{markerId}));
    }
    void caretBoundsRect(Rect rect) { answerCaretBounds(FakeAnswer::of(rect)); }
};

const FramePayload inputFrame{100, 200, 300, 24};
const FramePayload rangeCaret{150, 204, 2, 16};
const FramePayload markerCaret{170, 204, 1, 18};

bool sameNumber(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

bool sameFrame(const std::optional<FramePayload>& a, const std::optional<FramePayload>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (sameNumber(a->x, b->x) && sameNumber(a->y, b->y) && sameNumber(a->width, b->width) &&
                  sameNumber(a->height, b->height));
}

std::string describe(const std::optional<FramePayload>& frame) {
    if (!frame) return "absent";
    return std::to_string(frame->x) + "," + std::to_string(frame->y) + " " + std::to_string(frame->width) + "x" +
           std::to_string(frame->height);
}

bool asked(const FakeAccessibility& ax, FakeRequest::Kind kind, const std::string& element,
           const std::string& attribute) {
    const auto requests = ax.requests();
    return std::any_of(requests.begin(), requests.end(), [&](const FakeRequest& r) {
        return r.kind == kind && r.element == element && r.attribute == attribute;
    });
}

bool read(const FakeAccessibility& ax, const std::string& attribute) {
    return asked(ax, FakeRequest::Kind::copyAttribute, "field", attribute);
}

void noEnhancedUserInterfaceWrite(const FakeAccessibility& ax) {
    const auto requests = ax.requests();
    EXPECT_FALSE(std::any_of(requests.begin(), requests.end(),
                             [](const FakeRequest& r) { return r.attribute == "AXEnhancedUserInterface"; }));
}

struct GeometryCase {
    const char* name;
    std::function<void(TextFieldTree&)> change;
    std::optional<FramePayload> input;
    std::optional<FramePayload> caret;
    std::function<void(const FakeAccessibility&)> check = [](const FakeAccessibility&) {};
};

std::ostream& operator<<(std::ostream& os, const GeometryCase& c) { return os << c.name; }

class FocusedInputGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(FocusedInputGeometry, FindsTheFramesAndReleasesEverything) {
    TextFieldTree tree;
    GetParam().change(tree);

    const ShortcutPayload payload = focusedInputPayload(tree.ax);

    EXPECT_TRUE(sameFrame(payload.inputFrame, GetParam().input))
        << "input " << describe(payload.inputFrame) << ", expected " << describe(GetParam().input);
    EXPECT_TRUE(sameFrame(payload.caretFrame, GetParam().caret))
        << "caret " << describe(payload.caretFrame) << ", expected " << describe(GetParam().caret);
    GetParam().check(tree.ax);
    const auto counts = tree.ax.counts();
    EXPECT_EQ(counts.creates + counts.copies, counts.releases);
    EXPECT_EQ(counts.doubleReleases, 0);
    EXPECT_EQ(counts.liveReferences, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FocusedInputGeometry,
    ::testing::Values(
        GeometryCase{"TextField", [](TextFieldTree&) {}, inputFrame, rangeCaret,
                     [](const FakeAccessibility& ax) {
                         const auto requests = ax.requests();
                         ASSERT_FALSE(requests.empty());
                         EXPECT_EQ(requests[0].kind, FakeRequest::Kind::createApplicationElement);
                         const auto timeout = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
                             return r.kind == FakeRequest::Kind::setMessagingTimeout;
                         });
                         ASSERT_NE(timeout, requests.end());
                         EXPECT_EQ(timeout->element, "application");
                         EXPECT_FLOAT_EQ(timeout->seconds, 0.4f);
                         EXPECT_TRUE(asked(ax, FakeRequest::Kind::setAttribute, "application", "AXManualAccessibility"));
                         EXPECT_TRUE(asked(ax, FakeRequest::Kind::setAttribute, "window", "AXEnhancedUserInterface"));
                         // The caret is asked at the end of the selection, as an empty range.
                         const auto bounds = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
                             return r.attribute == "AXBoundsForRange";
                         });
                         ASSERT_NE(bounds, requests.end());
                         ASSERT_TRUE(bounds->rangeParameter.has_value());
                         EXPECT_EQ(bounds->rangeParameter->location, 8);
                         EXPECT_EQ(bounds->rangeParameter->length, 0);
                         EXPECT_FALSE(read(ax, "AXSelectedTextMarkerRange"));
                     }},
        GeometryCase{"NoFrontmostApplication",
                     [](TextFieldTree& t) { t.ax.setFrontmostApplication(std::nullopt); }, std::nullopt,
                     std::nullopt, [](const FakeAccessibility& ax) { EXPECT_TRUE(ax.requests().empty()); }},
        GeometryCase{"ButtonWithoutSelectedRange",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(std::string("AXButton")));
                         t.ax.removeAttribute(t.field, "AXSelectedTextRange");
                     },
                     std::nullopt, std::nullopt,
                     [](const FakeAccessibility& ax) { EXPECT_FALSE(read(ax, "AXPosition")); }},
        GeometryCase{"ButtonWithSelectedRangeOfAnyType",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(std::string("AXButton")));
                         t.ax.setAttribute(t.field, "AXSelectedTextRange", FakeAnswer::of(std::string("5-8")));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"RoleInOtherLetterCase",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(std::string("axtextfield")));
                         t.ax.removeAttribute(t.field, "AXSelectedTextRange");
                     },
                     std::nullopt, std::nullopt},
        GeometryCase{"TextAreaRole",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(std::string("AXTextArea")));
                         t.ax.removeAttribute(t.field, "AXSelectedTextRange");
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"ComboBoxRole",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(std::string("AXComboBox")));
                     },
                     inputFrame, rangeCaret},
        GeometryCase{"RoleThatIsNotAStringButSelectedRange",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXRole", FakeAnswer::of(3.0)); },
                     inputFrame, rangeCaret},
        GeometryCase{"ZeroWidth",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXSize", FakeAnswer::of(Size{0, 24})); },
                     std::nullopt, rangeCaret},
        GeometryCase{"NegativeWidth",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXSize", FakeAnswer::of(Size{-300, 24})); },
                     std::nullopt, rangeCaret},
        GeometryCase{"NegativeHeight",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXSize", FakeAnswer::of(Size{300, -24})); },
                     std::nullopt, rangeCaret},
        GeometryCase{"NaNHeight",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXSize", FakeAnswer::of(Size{300, nan})); },
                     std::nullopt, rangeCaret},
        GeometryCase{"PositionWithoutSize", [](TextFieldTree& t) { t.ax.removeAttribute(t.field, "AXSize"); },
                     std::nullopt, rangeCaret},
        GeometryCase{"NoPositionSizeNotRead", [](TextFieldTree& t) { t.ax.removeAttribute(t.field, "AXPosition"); },
                     std::nullopt, rangeCaret, [](const FakeAccessibility& ax) { EXPECT_FALSE(read(ax, "AXSize")); }},
        GeometryCase{"PositionOfAnotherKind",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.field, "AXPosition", FakeAnswer::of(Size{1, 2})); },
                     std::nullopt, rangeCaret},
        GeometryCase{"ZeroWidthCaret", [](TextFieldTree& t) { t.caretBoundsRect(Rect{{150, 204}, {0, 16}}); },
                     inputFrame, FramePayload{150, 204, 1, 16}},
        GeometryCase{"NegativeWidthCaretKept",
                     [](TextFieldTree& t) { t.caretBoundsRect(Rect{{150, 204}, {-3, 16}}); }, inputFrame,
                     FramePayload{150, 204, -3, 16}},
        GeometryCase{"NaNWidthCaretKept", [](TextFieldTree& t) { t.caretBoundsRect(Rect{{150, 204}, {nan, 16}}); },
                     inputFrame, FramePayload{150, 204, nan, 16}},
        GeometryCase{"ZeroHeightCaretGoesToTextMarker",
                     [](TextFieldTree& t) {
                         t.caretBoundsRect(Rect{{150, 204}, {2, 0}});
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"ZeroHeightCaretWithoutTextMarker",
                     [](TextFieldTree& t) { t.caretBoundsRect(Rect{{150, 204}, {2, 0}}); }, inputFrame,
                     std::nullopt},
        GeometryCase{"NaNHeightCaretGoesToTextMarker",
                     [](TextFieldTree& t) {
                         t.caretBoundsRect(Rect{{150, 204}, {2, nan}});
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"NegativeHeightCaretKept",
                     [](TextFieldTree& t) { t.caretBoundsRect(Rect{{150, 220}, {2, -16}}); }, inputFrame,
                     FramePayload{150, 220, 2, -16}},
        GeometryCase{"CaretBoundsOfAnotherKind",
                     [](TextFieldTree& t) {
                         t.answerCaretBounds(FakeAnswer::of(Point{1, 2}));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"NoCaretBoundsUsesTextMarker",
                     [](TextFieldTree& t) {
                         t.answerCaretBounds(FakeAnswer::failure());
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"NullTextMarkerRange",
                     [](TextFieldTree& t) {
                         t.answerCaretBounds(FakeAnswer::failure());
                         t.ax.setAttribute(t.field, "AXSelectedTextMarkerRange", FakeAnswer::null());
                     },
                     inputFrame, std::nullopt,
                     [](const FakeAccessibility& ax) {
                         EXPECT_FALSE(asked(ax, FakeRequest::Kind::copyParameterized, "field",
                                            "AXBoundsForTextMarkerRange"));
                     }},
        GeometryCase{"SelectedRangeOfAnotherKindUsesTextMarker",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXSelectedTextRange", FakeAnswer::of(Point{5, 3}));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"RangeEndOverflowsUsesTextMarker",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXSelectedTextRange",
                                           FakeAnswer::of(CharRange{std::numeric_limits<std::int64_t>::max(), 1}));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret,
                     [](const FakeAccessibility& ax) {
                         EXPECT_FALSE(asked(ax, FakeRequest::Kind::copyParameterized, "field", "AXBoundsForRange"));
                     }},
        GeometryCase{"RangeValueCannotBeMade",
                     [](TextFieldTree& t) {
                         t.ax.setCharRangeCreationFails(true);
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"NoFocusedWindow", [](TextFieldTree& t) { t.ax.removeAttribute(t.app, "AXFocusedWindow"); },
                     inputFrame, rangeCaret,
                     noEnhancedUserInterfaceWrite},
        GeometryCase{"FocusedWindowThatIsNotAnElement",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.app, "AXFocusedWindow", FakeAnswer::of(std::string("window")));
                     },
                     inputFrame, rangeCaret,
                     noEnhancedUserInterfaceWrite},
        GeometryCase{"NoFocusedElement", [](TextFieldTree& t) { t.ax.removeAttribute(t.app, "AXFocusedUIElement"); },
                     std::nullopt, std::nullopt},
        GeometryCase{"NullFocusedElement",
                     [](TextFieldTree& t) { t.ax.setAttribute(t.app, "AXFocusedUIElement", FakeAnswer::null()); },
                     std::nullopt, std::nullopt},
        GeometryCase{"FocusedElementThatIsNotAnElement",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.app, "AXFocusedUIElement", FakeAnswer::of(Point{1, 2}));
                     },
                     std::nullopt, std::nullopt},
        // A read that reports failure but still filled its slot: the value is
        // released and never used.
        GeometryCase{"FailedFocusedWindowReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.app, "AXFocusedWindow", FakeAnswer::failureWithValue(FakeElement{t.window}));
                     },
                     inputFrame, rangeCaret,
                     noEnhancedUserInterfaceWrite},
        GeometryCase{"FailedFocusedElementReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.app, "AXFocusedUIElement",
                                           FakeAnswer::failureWithValue(FakeElement{t.field}));
                     },
                     std::nullopt, std::nullopt},
        GeometryCase{"FailedRoleReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXRole",
                                           FakeAnswer::failureWithValue(std::string("AXTextField")));
                         t.ax.removeAttribute(t.field, "AXSelectedTextRange");
                     },
                     std::nullopt, std::nullopt},
        GeometryCase{"FailedSelectedRangeReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXSelectedTextRange",
                                           FakeAnswer::failureWithValue(CharRange{5, 3}));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"FailedSizeReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.ax.setAttribute(t.field, "AXSize", FakeAnswer::failureWithValue(Size{300, 24}));
                     },
                     std::nullopt, rangeCaret},
        GeometryCase{"FailedBoundsReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.answerCaretBounds(FakeAnswer::failureWithValue(Rect{{150, 204}, {2, 16}}));
                         t.offerTextMarker();
                     },
                     inputFrame, markerCaret},
        GeometryCase{"FailedTextMarkerReadThatFilledItsSlot",
                     [](TextFieldTree& t) {
                         t.answerCaretBounds(FakeAnswer::failure());
                         t.ax.setAttribute(t.field, "AXSelectedTextMarkerRange",
                                           FakeAnswer::failureWithValue(FakeTextMarkerRange{markerId}));
                     },
                     inputFrame, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The element and the parameter of parameterizedBounds are borrowed: only
// the answer it copies is released.
TEST(ParameterizedBounds, ReleasesOnlyWhatItCopied) {
    TextFieldTree tree;
    platform::Ref application = tree.ax.copyFrontmostApplication();
    platform::Ref element = tree.ax.createApplicationElement(tree.ax.processIdentifier(application));
    platform::Ref focused = nullptr;
    ASSERT_EQ(tree.ax.copyAttributeValue(element, "AXFocusedUIElement", &focused), platform::axSuccess);
    platform::Ref range = tree.ax.createCharRangeValue(CharRange{8, 0});

    const auto rect = parameterizedBounds(tree.ax, focused, "AXBoundsForRange", range);

    ASSERT_TRUE(rect.has_value());
    EXPECT_EQ(rect->origin.x, 150);
    const auto counts = tree.ax.counts();
    EXPECT_EQ(counts.liveReferences, 4);  // application, its element, the focused element, the range
    EXPECT_EQ(counts.doubleReleases, 0);
    for (platform::Ref ref : {range, focused, element, application}) tree.ax.release(ref);
    EXPECT_EQ(tree.ax.counts().liveReferences, 0);
}

}  // namespace
}  // namespace keychord
