// The objects the AT-SPI accessibility backend hands out, without a bus:
// every kind reads only as itself, and each is gone once released.
#include <gtest/gtest.h>

#include "atspi_accessibility.h"

namespace {

using namespace keychord::platform;
using keychord::platform::atspi::AtspiAccessibility;

TEST(AtspiValues, EachKindReadsOnlyAsItselfAndReleasingFreesIt) {
    AtspiAccessibility accessibility;
    const long before = AtspiAccessibility::liveObjects();

    Ref range = accessibility.createCharRangeValue({8, 0});
    Ref application = accessibility.createApplicationElement(1234);
    EXPECT_EQ(AtspiAccessibility::liveObjects(), before + 2);

    CharRange read;
    EXPECT_TRUE(accessibility.getCharRange(range, &read));
    EXPECT_EQ(read.location, 8);
    EXPECT_EQ(read.length, 0);
    Rect rect;
    Point point;
    Size size;
    std::string text;
    EXPECT_TRUE(accessibility.isAXValue(range));
    EXPECT_FALSE(accessibility.isElement(range));
    EXPECT_FALSE(accessibility.getRect(range, &rect));
    EXPECT_FALSE(accessibility.getPoint(range, &point));
    EXPECT_FALSE(accessibility.getSize(range, &size));
    EXPECT_FALSE(accessibility.stringValue(range, &text));

    EXPECT_TRUE(accessibility.isElement(application));
    EXPECT_FALSE(accessibility.isAXValue(application));
    EXPECT_FALSE(accessibility.getCharRange(application, &read));
    EXPECT_EQ(accessibility.processIdentifier(application), -1);  // an element, not the running application

    // The writes have no counterpart, the window and text markers no
    // value; a range is no element to ask and an element no parameter.
    Ref value = nullptr;
    EXPECT_NE(accessibility.setAttributeValueTrue(application, "AXManualAccessibility"), axSuccess);
    EXPECT_NE(accessibility.copyAttributeValue(application, "AXFocusedWindow", &value), axSuccess);
    EXPECT_EQ(value, nullptr);
    EXPECT_NE(accessibility.copyAttributeValue(range, "AXRole", &value), axSuccess);
    EXPECT_EQ(value, nullptr);
    EXPECT_NE(accessibility.copyParameterizedAttributeValue(application, "AXBoundsForRange", application, &value),
              axSuccess);
    EXPECT_EQ(value, nullptr);

    accessibility.release(range);
    accessibility.release(application);
    EXPECT_EQ(AtspiAccessibility::liveObjects(), before);
}

}  // namespace
