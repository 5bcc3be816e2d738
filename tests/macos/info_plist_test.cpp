#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <ostream>
#include <string>

#include "plist_reader.h"

namespace {

std::string readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The Info.plist of the hotword-agent bundle, read once.
class InfoPlist : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        text_ = new std::string(readFile(HOTWORD_INFO_PLIST));
        entries_ = new plist::Entries;
        error_ = new std::string;
        readOk_ = plist::readDictionary(*text_, entries_, error_);
    }
    static void TearDownTestSuite() {
        delete text_;
        delete entries_;
        delete error_;
    }

    static const plist::Value* find(const std::string& key) {
        for (const auto& [name, value] : *entries_) {
            if (name == key) return &value;
        }
        return nullptr;
    }

    static std::string* text_;
    static plist::Entries* entries_;
    static std::string* error_;
    static bool readOk_;
};

std::string* InfoPlist::text_ = nullptr;
plist::Entries* InfoPlist::entries_ = nullptr;
std::string* InfoPlist::error_ = nullptr;
bool InfoPlist::readOk_ = false;

TEST_F(InfoPlist, IsAWellFormedXmlPropertyList) {
    ASSERT_FALSE(text_->empty()) << "cannot read " << HOTWORD_INFO_PLIST;
    EXPECT_EQ(text_->rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    EXPECT_NE(text_->find("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"),
              std::string::npos);
    EXPECT_TRUE(readOk_) << *error_;
}

// The keys of the bundle: the lifecycle table and the two usage descriptions,
// nothing else.
TEST_F(InfoPlist, HoldsExactlyTheBundleKeys) {
    ASSERT_TRUE(readOk_) << *error_;
    std::set<std::string> keys;
    for (const auto& entry : *entries_) keys.insert(entry.first);
    const std::set<std::string> expected{
        "CFBundleName",        "CFBundleDisplayName",          "CFBundleExecutable",
        "CFBundleIdentifier",  "CFBundlePackageType",          "CFBundleDevelopmentRegion",
        "CFBundleInfoDictionaryVersion", "CFBundleShortVersionString", "CFBundleVersion",
        "LSUIElement",         "LSMinimumSystemVersion",       "NSMicrophoneUsageDescription",
        "NSSpeechRecognitionUsageDescription"};
    EXPECT_EQ(keys, expected);
}

// A reverse-DNS name: at least two dot-separated, non-empty labels of ASCII
// letters, digits and hyphens, the characters a bundle identifier may hold.
bool isReverseDns(const std::string& name) {
    std::size_t labels = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(name.find('.', start), name.size());
        if (end == start) return false;
        for (std::size_t i = start; i < end; ++i) {
            const char c = name[i];
            const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
            if (!allowed) return false;
        }
        ++labels;
        if (end == name.size()) return labels >= 2;
        start = end + 1;
    }
}

TEST(ReverseDns, AcceptsOnlyDottedLabels) {
    EXPECT_TRUE(isReverseDns("com.orvanex.hotword-agent"));
    for (const char* name : {"", "hotword-agent", "com..orvanex", ".com.orvanex", "com.orvanex.", "com.orvane x",
                             "com.orvanex_agent"}) {
        EXPECT_FALSE(isReverseDns(name)) << name;
    }
}

TEST_F(InfoPlist, BundleIdentifierIsReverseDns) {
    const plist::Value* value = find("CFBundleIdentifier");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, "string");
    EXPECT_TRUE(isReverseDns(value->text)) << value->text;
}

struct ExpectedEntry {
    const char* key;
    const char* type;
    const char* text;  // compared byte for byte
};

void PrintTo(const ExpectedEntry& entry, std::ostream* out) { *out << entry.key; }

class InfoPlistEntry : public InfoPlist, public ::testing::WithParamInterface<ExpectedEntry> {};

TEST_P(InfoPlistEntry, HasExactValue) {
    ASSERT_TRUE(readOk_) << *error_;
    const ExpectedEntry& expected = GetParam();
    const plist::Value* value = find(expected.key);
    ASSERT_NE(value, nullptr) << expected.key << " is missing";
    EXPECT_EQ(value->type, expected.type) << expected.key;
    EXPECT_EQ(value->text, expected.text) << expected.key;
}

// The usage texts are spelled with escapes so that the expected bytes do not
// depend on how an editor stores quotation marks: E2 80 9C and E2 80 9D are
// the UTF-8 left and right double quotation marks.
const ExpectedEntry expectedEntries[] = {
    {"CFBundleName", "string", "OrvaneX Wake Word"},
    {"CFBundleDisplayName", "string", "OrvaneX Wake Word"},
    {"CFBundleExecutable", "string", "hotword-agent"},
    {"CFBundlePackageType", "string", "APPL"},
    {"CFBundleDevelopmentRegion", "string", "en"},
    {"CFBundleInfoDictionaryVersion", "string", "6.0"},
    {"CFBundleShortVersionString", "string", "1.0"},
    {"CFBundleVersion", "string", "1"},
    {"LSUIElement", "true", ""},
    {"LSMinimumSystemVersion", "string", "14.0"},
    {"NSMicrophoneUsageDescription", "string",
     "OrvaneX listens locally for \xE2\x80\x9CHey Orvane\xE2\x80\x9D or \xE2\x80\x9CHey OrvaneX\xE2\x80\x9D only when "
     "you enable wake-phrase activation."},
    {"NSSpeechRecognitionUsageDescription", "string",
     "OrvaneX uses on-device speech recognition only to detect \xE2\x80\x9CHey Orvane\xE2\x80\x9D or "
     "\xE2\x80\x9CHey OrvaneX.\xE2\x80\x9D"},
};

INSTANTIATE_TEST_SUITE_P(BundleKeys, InfoPlistEntry, ::testing::ValuesIn(expectedEntries),
                         [](const ::testing::TestParamInfo<ExpectedEntry>& info) { return std::string(info.param.key); });

// The entitlements the install signs hotword-agent with under the hardened
// runtime: the microphone and nothing else. No App Sandbox either: a sandboxed
// process cannot use the accessibility interface of other applications.
TEST(Entitlements, GrantOnlyTheMicrophone) {
    const std::string text = readFile(HOTWORD_ENTITLEMENTS);
    ASSERT_FALSE(text.empty()) << "cannot read " << HOTWORD_ENTITLEMENTS;
    plist::Entries entries;
    std::string error;
    ASSERT_TRUE(plist::readDictionary(text, &entries, &error)) << error;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "com.apple.security.device.audio-input");
    EXPECT_EQ(entries[0].second.type, "true");
}

// The reader must reject what a property-list parser rejects, or the checks
// above prove nothing.
struct Malformed {
    const char* name;
    const char* xml;
};

void PrintTo(const Malformed& list, std::ostream* out) { *out << list.name; }

class PlistReaderRejects : public ::testing::TestWithParam<Malformed> {};

TEST_P(PlistReaderRejects, MalformedList) {
    plist::Entries entries;
    std::string error;
    EXPECT_FALSE(plist::readDictionary(GetParam().xml, &entries, &error));
    EXPECT_FALSE(error.empty());
}

const Malformed malformedLists[] = {
    {"UnclosedElement", "<plist version=\"1.0\"><dict><key>A</key><string>x</dict></plist>"},
    {"KeyWithoutValue", "<plist version=\"1.0\"><dict><key>A</key></dict></plist>"},
    {"RepeatedKey", "<plist version=\"1.0\"><dict><key>A</key><true/><key>A</key><false/></dict></plist>"},
    {"ValueWithoutKey", "<plist version=\"1.0\"><dict><string>x</string></dict></plist>"},
    {"UnknownElement", "<plist version=\"1.0\"><dict><key>A</key><bool>1</bool></dict></plist>"},
    {"UndefinedEntity", "<plist version=\"1.0\"><dict><key>A</key><string>&ldquo;</string></dict></plist>"},
    {"InvalidUtf8", "<plist version=\"1.0\"><dict><key>A</key><string>\x93x\x94</string></dict></plist>"},
    {"RootNotADictionary", "<plist version=\"1.0\"><array/></plist>"},
    {"NoVersion", "<plist><dict/></plist>"},
    {"StrayText", "<plist version=\"1.0\"><dict>x<key>A</key><true/></dict></plist>"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PlistReaderRejects, ::testing::ValuesIn(malformedLists),
                         [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(PlistReader, ReadsEntriesInOrderWithEntitiesResolved) {
    plist::Entries entries;
    std::string error;
    ASSERT_TRUE(plist::readDictionary("<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n"
                                      "\t<key>B</key>\n\t<string>a &amp; &#x201C;b&#x201D;</string>\n"
                                      "\t<key>A</key>\n\t<false/>\n"
                                      "\t<key>C</key>\n\t<dict><key>A</key><array><string>n</string></array></dict>\n"
                                      "</dict>\n</plist>\n",
                                      &entries, &error))
        << error;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, "B");
    EXPECT_EQ(entries[0].second.type, "string");
    EXPECT_EQ(entries[0].second.text, "a & \xE2\x80\x9C" "b\xE2\x80\x9D");
    EXPECT_EQ(entries[1].first, "A");
    EXPECT_EQ(entries[1].second.type, "false");
    EXPECT_EQ(entries[2].first, "C");
    EXPECT_EQ(entries[2].second.type, "dict");
}

}  // namespace
