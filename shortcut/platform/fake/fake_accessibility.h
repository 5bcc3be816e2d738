#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "accessibility.h"

namespace keychord::platform {

// Values the fake accessibility interface hands out.
struct FakeElement { std::size_t id = 0; };
struct FakeApplication { std::int32_t pid = 0; };
struct FakeTextMarkerRange { int id = 0; };
// Point, Size, Rect and CharRange are AXValues of kinds 1 to 4; a string is a
// platform string; a double stands for any other type (a number).
using FakeValue = std::variant<FakeElement, FakeApplication, FakeTextMarkerRange, std::string, Point, Size, Rect,
                               CharRange, double>;

// The answer to a read: a result code and, whatever the code, maybe a value
// in the output slot.
struct FakeAnswer {
    int result = axSuccess;
    std::optional<FakeValue> value;

    // The value is built in place (T is one of the FakeValue types).
    template <typename T>
    static FakeAnswer of(T value) {
        return failureWithValue(std::move(value), axSuccess);
    }
    static FakeAnswer null() { return {axSuccess, std::nullopt}; }
    static FakeAnswer failure(int code = -25212) { return {code, std::nullopt}; }
    // A failed read that still filled its slot.
    template <typename T>
    static FakeAnswer failureWithValue(T value, int code = -25212) {
        FakeAnswer answer{code, std::nullopt};
        answer.value.emplace(std::in_place_type<T>, std::move(value));
        return answer;
    }
};

// One request made to the fake, for tests to inspect.
struct FakeRequest {
    enum class Kind { createApplicationElement, setMessagingTimeout, setAttribute, copyAttribute, copyParameterized };
    Kind kind;
    std::string element;    // the element's name
    std::string attribute;  // empty for createApplicationElement and setMessagingTimeout
    std::optional<CharRange> rangeParameter;
    float seconds = 0;
};

// Reference counts over every object the fake has handed out.
struct FakeReferenceCounts {
    int creates = 0;
    int copies = 0;
    int releases = 0;
    int doubleReleases = 0;   // releases of an object already released (or never handed out)
    int liveReferences = 0;   // handed out and not yet released
};

// An in-memory accessibility interface: a tree of named elements with
// scripted answers. Every create and copy hands out a new object with one
// reference; release() counts, and flags a second release of the same
// object. Objects are kept until the fake goes, so a stale reference is
// always recognised. Safe to use from several threads.
class FakeAccessibility final : public Accessibility {
public:
    using ParameterizedAnswer = std::function<FakeAnswer(const std::optional<FakeValue>& parameter)>;

    FakeAccessibility() = default;

    // Tree set-up.
    std::size_t addElement(const std::string& name);
    void setAttribute(std::size_t element, const std::string& attribute, FakeAnswer answer);
    void removeAttribute(std::size_t element, const std::string& attribute);
    void setParameterizedAttribute(std::size_t element, const std::string& attribute, ParameterizedAnswer answer);
    // The frontmost application and the element made for its pid; nothing
    // for no frontmost application.
    void setFrontmostApplication(std::optional<std::int32_t> pid, std::size_t applicationElement = 0);
    void setCharRangeCreationFails(bool fails);
    // Called at the start of every frontmost-application query, outside the
    // fake's lock (a test may wait or change the tree there).
    void setQueryHook(std::function<void()> hook);

    // Observations.
    std::vector<FakeRequest> requests() const;
    FakeReferenceCounts counts() const;
    void clearRequests();

    // Accessibility.
    Ref copyFrontmostApplication() override;
    std::int32_t processIdentifier(Ref application) override;
    Ref createApplicationElement(std::int32_t pid) override;
    void setMessagingTimeout(Ref element, float seconds) override;
    int setAttributeValueTrue(Ref element, const std::string& attribute) override;
    int copyAttributeValue(Ref element, const std::string& attribute, Ref* value) override;
    int copyParameterizedAttributeValue(Ref element, const std::string& attribute, Ref parameter,
                                        Ref* value) override;
    bool isElement(Ref value) override;
    bool isAXValue(Ref value) override;
    bool stringValue(Ref value, std::string* text) override;
    bool getPoint(Ref value, Point* point) override;
    bool getSize(Ref value, Size* size) override;
    bool getRect(Ref value, Rect* rect) override;
    bool getCharRange(Ref value, CharRange* range) override;
    Ref createCharRangeValue(CharRange range) override;
    void release(Ref object) override;

private:
    struct Node {
        std::string name;
        std::map<std::string, FakeAnswer> attributes;
        std::map<std::string, ParameterizedAnswer> parameterized;
    };
    struct Object {
        FakeValue value;
        int references = 1;
    };

    Ref handOut(FakeValue value);                     // needs mutex_
    const FakeValue* find(Ref ref) const;             // needs mutex_
    const Node* elementNode(Ref ref) const;           // needs mutex_
    std::string elementName(Ref ref) const;           // needs mutex_
    template <typename T> bool get(Ref ref, T* out);

    mutable std::mutex mutex_;
    std::vector<Node> nodes_;
    std::map<Ref, std::unique_ptr<Object>> objects_;
    std::optional<std::int32_t> frontmostPid_;
    std::size_t applicationElement_ = 0;
    bool charRangeCreationFails_ = false;
    std::function<void()> queryHook_;
    std::vector<FakeRequest> requests_;
    FakeReferenceCounts counts_;
};

}  // namespace keychord::platform
