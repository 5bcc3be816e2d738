// Which recognizer the listener chooses, and which locales it asks for.
#include "listener_fixture.h"

namespace hotword::testing {
namespace {

using ::testing::ElementsAreArray;

struct Offered {
    std::string locale;
    bool available = true;
    bool onDevice = true;
};

struct SelectionCase {
    const char* name;
    std::string requestedLocale;
    std::vector<Offered> offered;  // locales with a recognizer
    std::vector<std::string> asked;
    std::optional<std::string> chosen;
};

std::ostream& operator<<(std::ostream& os, const SelectionCase& c) { return os << c.name; }

class RecognizerSelection : public ListenerTest, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(RecognizerSelection, TriesCandidatesInOrderAndKeepsOnlyTheChoice) {
    const SelectionCase& c = GetParam();
    for (const Offered& offered : c.offered) {
        speech().setRecognizer(offered.locale, {offered.available, offered.onDevice, ""});
    }
    makeListener(c.requestedLocale);

    const std::shared_ptr<platform::Recognizer> chosen = listener->selectOnDeviceRecognizer();

    EXPECT_THAT(speech().recognizerLocalesAsked(), ElementsAreArray(c.asked));
    if (c.chosen) {
        ASSERT_NE(chosen, nullptr);
        EXPECT_EQ(chosen->localeIdentifier(), *c.chosen);
    } else {
        EXPECT_EQ(chosen, nullptr);
    }
    // Rejected recognizers are released before the choice returns.
    EXPECT_EQ(counts().recognizers.live(), c.chosen ? 1 : 0);
    EXPECT_TRUE(lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, RecognizerSelection,
    ::testing::Values(
        SelectionCase{"emptyRequest", "", {}, {"en-IN", "en-US"}, std::nullopt},
        SelectionCase{"blankRequest", " \t\r\n", {}, {"en-IN", "en-US"}, std::nullopt},
        SelectionCase{"unicodeBlanksTrimmed", "\u2003\u00a0fr-FR\u0085\u2029", {{"fr-FR"}}, {"fr-FR"}, "fr-FR"},
        SelectionCase{"defaultTriedOnce", "en-IN", {}, {"en-IN", "en-US"}, std::nullopt},
        SelectionCase{"enUsThenEnIn", "en-US", {}, {"en-US", "en-IN"}, std::nullopt},
        SelectionCase{"lowerCaseKeySkipsEnUs", " en-us ", {}, {"en-us", "en-IN"}, std::nullopt},
        SelectionCase{"mixedCaseKeySkipsEnIn", "EN-in", {}, {"EN-in", "en-US"}, std::nullopt},
        SelectionCase{"underscoreIsAnotherKey", "en_IN", {}, {"en_IN", "en-IN", "en-US"}, std::nullopt},
        SelectionCase{"requestedWins", "de-DE", {{"de-DE"}, {"en-IN"}, {"en-US"}}, {"de-DE"}, "de-DE"},
        SelectionCase{"triedAsWritten", " en-us ", {{"en-us"}}, {"en-us"}, "en-us"},
        SelectionCase{"notOnDevicePassedOver", "de-DE", {{"de-DE", true, false}, {"en-IN"}}, {"de-DE", "en-IN"},
                      "en-IN"},
        SelectionCase{"notAvailablePassedOver", "de-DE", {{"de-DE", false, true}, {"en-US"}},
                      {"de-DE", "en-IN", "en-US"}, "en-US"},
        SelectionCase{"lastFallback", "xx", {{"en-US"}}, {"xx", "en-IN", "en-US"}, "en-US"},
        SelectionCase{"noneQualifies", "de-DE", {{"de-DE", false, false}, {"en-IN", true, false}, {"en-US", false, true}},
                      {"de-DE", "en-IN", "en-US"}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

using RecognizerQueries = ListenerTest;

TEST_F(RecognizerQueries, AsksOnDeviceSupportOnlyOfAnAvailableRecognizer) {
    speech().setRecognizer("de-DE", {false, true, ""});
    speech().setRecognizer("en-IN", {true, false, ""});
    makeListener("de-DE");

    EXPECT_EQ(listener->selectOnDeviceRecognizer(), nullptr);

    EXPECT_THAT(speech().events(),
                ElementsAreArray({"recognizer de-DE", "isAvailable de-DE", "recognizer en-IN", "isAvailable en-IN",
                                  "onDevice en-IN", "recognizer en-US"}));
}

}  // namespace
}  // namespace hotword::testing
