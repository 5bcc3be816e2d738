#include "fake_accessibility.h"

#include <utility>

namespace keychord::platform {

namespace {

constexpr int illegalArgument = -25201;
constexpr int attributeUnsupported = -25205;

}  // namespace

std::size_t FakeAccessibility::addElement(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.push_back(Node{name, {}, {}});
    return nodes_.size() - 1;
}

void FakeAccessibility::setAttribute(std::size_t element, const std::string& attribute, FakeAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.at(element).attributes[attribute] = std::move(answer);
}

void FakeAccessibility::removeAttribute(std::size_t element, const std::string& attribute) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.at(element).attributes.erase(attribute);
}

void FakeAccessibility::setParameterizedAttribute(std::size_t element, const std::string& attribute,
                                                  ParameterizedAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.at(element).parameterized[attribute] = std::move(answer);
}

void FakeAccessibility::setFrontmostApplication(std::optional<std::int32_t> pid, std::size_t applicationElement) {
    std::lock_guard<std::mutex> lock(mutex_);
    frontmostPid_ = pid;
    applicationElement_ = applicationElement;
}

void FakeAccessibility::setCharRangeCreationFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    charRangeCreationFails_ = fails;
}

void FakeAccessibility::setQueryHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    queryHook_ = std::move(hook);
}

std::vector<FakeRequest> FakeAccessibility::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

FakeReferenceCounts FakeAccessibility::counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeReferenceCounts counts = counts_;
    counts.liveReferences = 0;
    for (const auto& [ref, object] : objects_) counts.liveReferences += object->references;
    return counts;
}

void FakeAccessibility::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

Ref FakeAccessibility::handOut(FakeValue value) {
    auto object = std::make_unique<Object>(Object{std::move(value), 1});
    const Ref ref = object.get();
    objects_.emplace(ref, std::move(object));
    return ref;
}

const FakeValue* FakeAccessibility::find(Ref ref) const {
    const auto it = objects_.find(ref);
    return it == objects_.end() ? nullptr : &it->second->value;
}

const FakeAccessibility::Node* FakeAccessibility::elementNode(Ref ref) const {
    const FakeValue* value = find(ref);
    if (value == nullptr) return nullptr;
    const auto* element = std::get_if<FakeElement>(value);
    if (element == nullptr || element->id >= nodes_.size()) return nullptr;
    return &nodes_[element->id];
}

std::string FakeAccessibility::elementName(Ref ref) const {
    const Node* node = elementNode(ref);
    return node == nullptr ? std::string("?") : node->name;
}

Ref FakeAccessibility::copyFrontmostApplication() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = queryHook_;
    }
    if (hook) hook();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!frontmostPid_) return nullptr;
    ++counts_.creates;
    return handOut(FakeApplication{*frontmostPid_});
}

std::int32_t FakeAccessibility::processIdentifier(Ref application) {
    std::lock_guard<std::mutex> lock(mutex_);
    const FakeValue* value = find(application);
    const auto* app = value == nullptr ? nullptr : std::get_if<FakeApplication>(value);
    return app == nullptr ? -1 : app->pid;
}

Ref FakeAccessibility::createApplicationElement(std::int32_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t id = applicationElement_;
    if (!frontmostPid_ || pid != *frontmostPid_ || id >= nodes_.size()) {
        // An application the tree does not know: an element with no attributes.
        nodes_.push_back(Node{"application " + std::to_string(pid), {}, {}});
        id = nodes_.size() - 1;
    }
    ++counts_.creates;
    const Ref ref = handOut(FakeElement{id});
    requests_.push_back({FakeRequest::Kind::createApplicationElement, nodes_[id].name, {}, std::nullopt, 0});
    return ref;
}

void FakeAccessibility::setMessagingTimeout(Ref element, float seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({FakeRequest::Kind::setMessagingTimeout, elementName(element), {}, std::nullopt, seconds});
}

int FakeAccessibility::setAttributeValueTrue(Ref element, const std::string& attribute) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({FakeRequest::Kind::setAttribute, elementName(element), attribute, std::nullopt, 0});
    return elementNode(element) == nullptr ? illegalArgument : axSuccess;
}

int FakeAccessibility::copyAttributeValue(Ref element, const std::string& attribute, Ref* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({FakeRequest::Kind::copyAttribute, elementName(element), attribute, std::nullopt, 0});
    const Node* node = elementNode(element);
    if (node == nullptr) return illegalArgument;
    const auto it = node->attributes.find(attribute);
    if (it == node->attributes.end()) return attributeUnsupported;
    if (it->second.value) {
        ++counts_.copies;
        *value = handOut(*it->second.value);
    }
    return it->second.result;
}

int FakeAccessibility::copyParameterizedAttributeValue(Ref element, const std::string& attribute, Ref parameter,
                                                       Ref* value) {
    ParameterizedAnswer answer;
    std::optional<FakeValue> parameterValue;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const FakeValue* found = find(parameter)) parameterValue = *found;
        std::optional<CharRange> range;
        if (parameterValue) {
            if (const auto* r = std::get_if<CharRange>(&*parameterValue)) range = *r;
        }
        requests_.push_back({FakeRequest::Kind::copyParameterized, elementName(element), attribute, range, 0});
        const Node* node = elementNode(element);
        if (node == nullptr) return illegalArgument;
        const auto it = node->parameterized.find(attribute);
        if (it == node->parameterized.end()) return attributeUnsupported;
        answer = it->second;
    }
    const FakeAnswer result = answer(parameterValue);
    std::lock_guard<std::mutex> lock(mutex_);
    if (result.value) {
        ++counts_.copies;
        *value = handOut(*result.value);
    }
    return result.result;
}

bool FakeAccessibility::isElement(Ref value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const FakeValue* found = find(value);
    return found != nullptr && std::holds_alternative<FakeElement>(*found);
}

bool FakeAccessibility::isAXValue(Ref value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const FakeValue* found = find(value);
    return found != nullptr && (std::holds_alternative<Point>(*found) || std::holds_alternative<Size>(*found) ||
                                std::holds_alternative<Rect>(*found) || std::holds_alternative<CharRange>(*found));
}

bool FakeAccessibility::stringValue(Ref value, std::string* text) { return get(value, text); }

template <typename T>
bool FakeAccessibility::get(Ref ref, T* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const FakeValue* found = find(ref);
    const T* typed = found == nullptr ? nullptr : std::get_if<T>(found);
    if (typed == nullptr) return false;
    *out = *typed;
    return true;
}

bool FakeAccessibility::getPoint(Ref value, Point* point) { return get(value, point); }
bool FakeAccessibility::getSize(Ref value, Size* size) { return get(value, size); }
bool FakeAccessibility::getRect(Ref value, Rect* rect) { return get(value, rect); }
bool FakeAccessibility::getCharRange(Ref value, CharRange* range) { return get(value, range); }

Ref FakeAccessibility::createCharRangeValue(CharRange range) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (charRangeCreationFails_) return nullptr;
    ++counts_.creates;
    return handOut(range);
}

void FakeAccessibility::release(Ref object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(object);
    if (it == objects_.end() || it->second->references == 0) {
        ++counts_.doubleReleases;
        return;
    }
    --it->second->references;
    ++counts_.releases;
}

}  // namespace keychord::platform
