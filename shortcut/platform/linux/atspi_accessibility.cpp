#include "atspi_accessibility.h"

#include <atomic>
#include <atspi/atspi.h>
#include <optional>

namespace keychord::platform::atspi {

namespace {

// AX error codes.
constexpr int errorIllegalArgument = -25201;
constexpr int errorCannotComplete = -25204;
constexpr int errorAttributeUnsupported = -25205;
constexpr int errorNoValue = -25212;
constexpr int errorParameterizedAttributeUnsupported = -25213;

// Beyond the messaging timeout, what one whole query may spend on
// everything else.
constexpr std::chrono::milliseconds querySlack{100};

std::atomic<long> liveCount{0};

// Every Ref is one of these, counted once per owner.
struct Object {
    enum class Kind { application, element, string, value };
    explicit Object(Kind kind) : kind(kind) { ++liveCount; }
    virtual ~Object() { --liveCount; }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    const Kind kind;
};

// The frontmost application: its pid.
struct Application final : Object {
    explicit Application(std::int32_t pid) : Object(Kind::application), pid(pid) {}
    const std::int32_t pid;
};

struct StringObject final : Object {
    explicit StringObject(std::string text) : Object(Kind::string), text(std::move(text)) {}
    const std::string text;
};

struct Value final : Object {
    explicit Value(AXValueKind valueKind) : Object(Kind::value), valueKind(valueKind) {}
    const AXValueKind valueKind;
    Rect rect;          // point: origin; size: size; rect: both
    CharRange range;
};

const Object* object(Ref ref) { return static_cast<const Object*>(ref); }

const Value* valueOf(Ref ref, AXValueKind kind) {
    const Object* found = object(ref);
    if (!found || found->kind != Object::Kind::value) return nullptr;
    const auto* value = static_cast<const Value*>(found);
    return value->valueKind == kind ? value : nullptr;
}

Ref newValue(AXValueKind kind, Rect rect, CharRange range = {}) {
    auto* value = new Value(kind);
    value->rect = rect;
    value->range = range;
    return value;
}

// Clears a GError and tells whether there was one.
bool failed(GError*& error) {
    if (!error) return false;
    g_clear_error(&error);
    return true;
}

}  // namespace

// An application element (no accessible until one is needed) or an element
// of it. What one query reads of it is kept on it for that query.
struct AtspiAccessibility::Element final : Object {
    Element(std::int32_t pid, AtspiAccessible* accessible, bool application)
        : Object(Kind::element), pid(pid), accessible(accessible), application(application) {}
    ~Element() override {
        if (accessible) g_object_unref(accessible);
        if (states) g_object_unref(states);
    }
    const std::int32_t pid;
    AtspiAccessible* accessible;  // owned; null for an application element
    const bool application;
    AtspiStateSet* states = nullptr;
    std::optional<AtspiRect> bounds;
};

namespace {

using Element = AtspiAccessibility::Element;

Element* elementOf(Ref ref) {
    const Object* found = object(ref);
    if (!found || found->kind != Object::Kind::element) return nullptr;
    return const_cast<Element*>(static_cast<const Element*>(found));
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(GMainContext* context)
    : context_(context ? g_main_context_ref(context) : g_main_context_new()) {}

AtspiAccessibility::~AtspiAccessibility() {
    if (lastFocused_) g_object_unref(lastFocused_);
    // Once connected, the bus connection stays attached to the context for
    // the rest of the process: its reference is kept for it.
    if (!started_ || !available_) g_main_context_unref(context_);
    // The listener stays registered: AT-SPI keeps its own reference, and
    // deregistering would need the bus at exit.
}

long AtspiAccessibility::liveObjects() { return liveCount.load(); }

void AtspiAccessibility::start() {
    if (started_) return;
    started_ = true;
    const int status = atspi_init();
    available_ = status == 0 || status == 1;
    if (!available_) return;
    // Events wait on the context given, handled on this thread only.
    atspi_set_main_context(context_);
    focusListener_ = atspi_event_listener_new(&AtspiAccessibility::onFocusEvent, this, nullptr);
    GError* error = nullptr;
    atspi_event_listener_register(focusListener_, "object:state-changed:focused", &error);
    g_clear_error(&error);
    handleEvents();
}

void AtspiAccessibility::onFocusEvent(AtspiEvent* event, void* self) {
    auto* backend = static_cast<AtspiAccessibility*>(self);
    if (event->source) {
        // Focus moves as one element gains it and another loses it, and the
        // two events may come in either order: only a loss by the element
        // we hold clears it.
        if (event->detail1 == 1) {
            if (backend->lastFocused_) g_object_unref(backend->lastFocused_);
            backend->lastFocused_ = static_cast<AtspiAccessible*>(g_object_ref(event->source));
        } else if (event->source == backend->lastFocused_) {
            g_object_unref(backend->lastFocused_);
            backend->lastFocused_ = nullptr;
        }
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiAccessibility::handleEvents() {
    if (!available_) return;
    // Bounded: under a flood of events a query still goes on.
    for (int dispatched = 0; dispatched < 1000 && g_main_context_iteration(context_, FALSE); ++dispatched) {
    }
}

bool AtspiAccessibility::beginRequest() {
    if (applicationHung_) return false;
    const auto now = Clock::now();
    if (now >= deadline_) return false;
    // A blocking D-Bus call to an application that does not answer can
    // wait its timeout twice before it gives up: each request gets half of
    // what is left.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now);
    requestLimit_ = std::max(std::chrono::milliseconds(1), std::min(requestTimeout_, left) / 2);
    atspi_set_timeout(static_cast<gint>(requestLimit_.count()), 0);
    requestStart_ = now;
    return true;
}

void AtspiAccessibility::endRequest() {
    // A request that used up its time met an application that does not
    // answer (some calls then return an empty answer instead of an error):
    // the rest of the query does without it.
    constexpr std::chrono::milliseconds margin{10};
    if (Clock::now() - requestStart_ + margin >= requestLimit_) applicationHung_ = true;
}

std::int32_t AtspiAccessibility::pidOf(AtspiAccessible* accessible) {
    AtspiObject* base = ATSPI_OBJECT(accessible);
    if (!base->app || !base->app->bus_name) return -1;
    const std::string busName = base->app->bus_name;
    if (const auto found = pidByBusName_.find(busName); found != pidByBusName_.end()) return found->second;
    // Answered by the bus itself, never by the application.
    GError* error = nullptr;
    const auto pid = static_cast<std::int32_t>(atspi_accessible_get_process_id(accessible, &error));
    if (failed(error) || pid <= 0) return -1;
    if (pidByBusName_.size() >= 256) pidByBusName_.clear();  // names of gone applications
    pidByBusName_[busName] = pid;
    return pid;
}

AtspiAccessible* AtspiAccessibility::applicationOf(std::int32_t pid) {
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return nullptr;
    AtspiAccessible* match = nullptr;
    GError* error = nullptr;
    if (beginRequest()) {
        const gint count = atspi_accessible_get_child_count(desktop, &error);
        endRequest();
        for (gint i = 0; !failed(error) && i < count && !match; ++i) {
            if (!beginRequest()) break;
            AtspiAccessible* child = atspi_accessible_get_child_at_index(desktop, i, &error);
            endRequest();
            if (!child) continue;
            if (pidOf(child) == pid) {
                match = child;
            } else {
                g_object_unref(child);
            }
        }
    }
    g_clear_error(&error);
    g_object_unref(desktop);
    return match;
}

bool AtspiAccessibility::loadStates(Element& element) {
    if (element.states) return true;
    if (!beginRequest()) return false;
    element.states = atspi_accessible_get_state_set(element.accessible);
    endRequest();
    return !applicationHung_;
}

Ref AtspiAccessibility::copyFrontmostApplication() {
    start();
    // A new query.
    deadline_ = Clock::now() + requestTimeout_ + querySlack;
    applicationHung_ = false;
    handleEvents();
    const auto pid = activeWindow_.ownerPid();
    if (!pid || *pid <= 0) return nullptr;
    return new Application(*pid);
}

std::int32_t AtspiAccessibility::processIdentifier(Ref application) {
    const Object* found = object(application);
    if (!found || found->kind != Object::Kind::application) return -1;
    return static_cast<const Application*>(found)->pid;
}

Ref AtspiAccessibility::createApplicationElement(std::int32_t pid) { return new Element(pid, nullptr, true); }

void AtspiAccessibility::setMessagingTimeout(Ref element, float seconds) {
    if (!elementOf(element) || !(seconds > 0)) return;
    requestTimeout_ = std::chrono::milliseconds(static_cast<long>(seconds * 1000.0f + 0.5f));
    deadline_ = Clock::now() + requestTimeout_ + querySlack;
}

int AtspiAccessibility::setAttributeValueTrue(Ref element, const std::string&) {
    // AXManualAccessibility and AXEnhancedUserInterface have no AT-SPI
    // counterpart: applications with a bridge always answer.
    return elementOf(element) ? errorAttributeUnsupported : errorIllegalArgument;
}

int AtspiAccessibility::copyAttributeValue(Ref ref, const std::string& attribute, Ref* value) {
    *value = nullptr;
    Element* element = elementOf(ref);
    if (!element) return errorIllegalArgument;
    if (!available_) return errorCannotComplete;
    if (element->application) {
        if (attribute == "AXFocusedUIElement") return focusedElement(*element, value);
        if (attribute == "AXFocusedWindow") return errorNoValue;
        return errorAttributeUnsupported;
    }
    if (attribute == "AXRole") return role(*element, value);
    if (attribute == "AXSelectedTextRange") return selectedRange(*element, value);
    if (attribute == "AXPosition" || attribute == "AXSize") {
        if (const int status = extents(*element); status != axSuccess) return status;
        const AtspiRect& bounds = *element->bounds;
        if (attribute == "AXPosition") {
            *value = newValue(AXValueKind::point, Rect{{double(bounds.x), double(bounds.y)}, {}});
        } else {
            *value = newValue(AXValueKind::size, Rect{{}, {double(bounds.width), double(bounds.height)}});
        }
        return axSuccess;
    }
    return errorAttributeUnsupported;
}

int AtspiAccessibility::copyParameterizedAttributeValue(Ref ref, const std::string& attribute, Ref parameter,
                                                        Ref* value) {
    *value = nullptr;
    Element* element = elementOf(ref);
    if (!element) return errorIllegalArgument;
    if (attribute != "AXBoundsForRange" || element->application) return errorParameterizedAttributeUnsupported;
    const Value* range = valueOf(parameter, AXValueKind::charRange);
    if (!range) return errorIllegalArgument;
    return caretBounds(*element, range->range, value);
}

int AtspiAccessibility::focusedElement(Element& application, Ref* value) {
    handleEvents();
    // The element that last gained focus, if it belongs to the application
    // and still has focus. Asking it also brings in the focus events sent
    // before the answer: when focus has moved on since, ask the newer one.
    for (int attempt = 0; attempt < 3 && lastFocused_; ++attempt) {
        AtspiAccessible* candidate = static_cast<AtspiAccessible*>(g_object_ref(lastFocused_));
        if (pidOf(candidate) != application.pid) {
            g_object_unref(candidate);
            break;
        }
        auto* element = new Element(application.pid, candidate, false);
        const bool answered = loadStates(*element);
        handleEvents();
        if (answered && candidate == lastFocused_ && atspi_state_set_contains(element->states, ATSPI_STATE_FOCUSED)) {
            *value = element;
            return axSuccess;
        }
        const bool moved = candidate != lastFocused_;
        delete element;
        if (!answered) return errorCannotComplete;
        if (!moved) break;
    }

    // No usable focus event: one search of the application for the
    // element in the FOCUSED state.
    AtspiAccessible* root = applicationOf(application.pid);
    if (!root) return errorNoValue;
    int status = errorNoValue;
    if (beginRequest()) {
        AtspiStateSet* focused = atspi_state_set_new(nullptr);
        atspi_state_set_add(focused, ATSPI_STATE_FOCUSED);
        AtspiMatchRule* rule = atspi_match_rule_new(focused, ATSPI_Collection_MATCH_ALL, nullptr,
                                                    ATSPI_Collection_MATCH_NONE, nullptr,
                                                    ATSPI_Collection_MATCH_NONE, nullptr,
                                                    ATSPI_Collection_MATCH_NONE, FALSE);
        GError* error = nullptr;
        GArray* matches = atspi_collection_get_matches(ATSPI_COLLECTION(root), rule,
                                                       ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, &error);
        endRequest();
        if (failed(error)) status = errorCannotComplete;
        if (matches) {
            if (matches->len > 0) {
                auto* found = g_array_index(matches, AtspiAccessible*, 0);
                *value = new Element(application.pid, static_cast<AtspiAccessible*>(g_object_ref(found)), false);
                status = axSuccess;
            }
            for (guint i = 0; i < matches->len; ++i) g_object_unref(g_array_index(matches, AtspiAccessible*, i));
            g_array_free(matches, TRUE);
        }
        g_object_unref(rule);
        g_object_unref(focused);
    }
    g_object_unref(root);
    return status;
}

int AtspiAccessibility::role(Element& element, Ref* value) {
    if (!beginRequest()) return errorCannotComplete;
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(element.accessible, &error);
    endRequest();
    if (failed(error) || role == ATSPI_ROLE_INVALID) return errorCannotComplete;

    std::string name;
    switch (role) {
    case ATSPI_ROLE_COMBO_BOX: name = "AXComboBox"; break;
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT: name = "AXTextField"; break;
    case ATSPI_ROLE_TEXT:
        // GTK reports entries and text views alike: the states tell.
        if (!loadStates(element)) return errorCannotComplete;
        name = atspi_state_set_contains(element.states, ATSPI_STATE_SINGLE_LINE) &&
                       !atspi_state_set_contains(element.states, ATSPI_STATE_MULTI_LINE)
                   ? "AXTextField"
                   : "AXTextArea";
        break;
    default: {
        gchar* roleName = atspi_role_get_name(role);
        name = roleName ? roleName : "";
        g_free(roleName);
    }
    }
    *value = new StringObject(std::move(name));
    return axSuccess;
}

int AtspiAccessibility::selectedRange(Element& element, Ref* value) {
    AtspiText* text = ATSPI_TEXT(element.accessible);
    GError* error = nullptr;
    if (!beginRequest()) return errorCannotComplete;
    const gint selections = atspi_text_get_n_selections(text, &error);
    endRequest();
    if (failed(error)) return errorAttributeUnsupported;  // no text interface
    CharRange range;
    if (selections > 0) {
        if (!beginRequest()) return errorCannotComplete;
        AtspiRange* selection = atspi_text_get_selection(text, 0, &error);
        endRequest();
        if (failed(error) || !selection) {
            g_free(selection);
            return errorCannotComplete;
        }
        range.location = selection->start_offset;
        range.length = selection->end_offset - selection->start_offset;
        g_free(selection);
    } else {
        if (!beginRequest()) return errorCannotComplete;
        const gint caret = atspi_text_get_caret_offset(text, &error);
        endRequest();
        if (failed(error) || caret < 0) return errorNoValue;
        range.location = caret;
    }
    *value = newValue(AXValueKind::charRange, {}, range);
    return axSuccess;
}

int AtspiAccessibility::extents(Element& element) {
    if (element.bounds) return axSuccess;
    if (!beginRequest()) return errorCannotComplete;
    GError* error = nullptr;
    AtspiRect* rect = atspi_component_get_extents(ATSPI_COMPONENT(element.accessible), ATSPI_COORD_TYPE_SCREEN,
                                                  &error);
    endRequest();
    const bool ok = !failed(error) && rect && !applicationHung_;
    if (ok) element.bounds = *rect;
    g_free(rect);
    return ok ? axSuccess : errorCannotComplete;
}

int AtspiAccessibility::caretBounds(Element& element, CharRange range, Ref* value) {
    AtspiText* text = ATSPI_TEXT(element.accessible);
    GError* error = nullptr;
    if (range.location < 0 || range.length < 0 || range.location + range.length > G_MAXINT) {
        return errorIllegalArgument;
    }
    const auto start = static_cast<gint>(range.location);
    AtspiRect* rect = nullptr;
    bool atEnd = false;
    if (range.length > 0) {
        if (!beginRequest()) return errorCannotComplete;
        rect = atspi_text_get_range_extents(text, start, static_cast<gint>(start + range.length),
                                            ATSPI_COORD_TYPE_SCREEN, &error);
        endRequest();
    } else {
        // An empty range has no extents of its own: take the character at
        // the caret, or at the very end of the text the last character's
        // right edge.
        if (!beginRequest()) return errorCannotComplete;
        const gint count = atspi_text_get_character_count(text, &error);
        endRequest();
        if (failed(error)) return errorCannotComplete;
        atEnd = start >= count && count > 0;
        if (!beginRequest()) return errorCannotComplete;
        rect = atspi_text_get_character_extents(text, atEnd ? count - 1 : start, ATSPI_COORD_TYPE_SCREEN, &error);
        endRequest();
    }
    if (failed(error) || !rect || applicationHung_) {
        g_free(rect);
        return errorCannotComplete;
    }
    Rect bounds{{double(rect->x), double(rect->y)}, {double(rect->width), double(rect->height)}};
    g_free(rect);
    if (range.length == 0) {
        if (atEnd) bounds.origin.x += bounds.size.width;
        bounds.size.width = 0;
    }
    *value = newValue(AXValueKind::rect, bounds);
    return axSuccess;
}

bool AtspiAccessibility::isElement(Ref value) { return value && object(value)->kind == Object::Kind::element; }

bool AtspiAccessibility::isAXValue(Ref value) { return value && object(value)->kind == Object::Kind::value; }

bool AtspiAccessibility::stringValue(Ref value, std::string* text) {
    if (!value || object(value)->kind != Object::Kind::string) return false;
    *text = static_cast<const StringObject*>(object(value))->text;
    return true;
}

bool AtspiAccessibility::getPoint(Ref value, Point* point) {
    const Value* found = valueOf(value, AXValueKind::point);
    if (found) *point = found->rect.origin;
    return found != nullptr;
}

bool AtspiAccessibility::getSize(Ref value, Size* size) {
    const Value* found = valueOf(value, AXValueKind::size);
    if (found) *size = found->rect.size;
    return found != nullptr;
}

bool AtspiAccessibility::getRect(Ref value, Rect* rect) {
    const Value* found = valueOf(value, AXValueKind::rect);
    if (found) *rect = found->rect;
    return found != nullptr;
}

bool AtspiAccessibility::getCharRange(Ref value, CharRange* range) {
    const Value* found = valueOf(value, AXValueKind::charRange);
    if (found) *range = found->range;
    return found != nullptr;
}

Ref AtspiAccessibility::createCharRangeValue(CharRange range) {
    return newValue(AXValueKind::charRange, {}, range);
}

void AtspiAccessibility::release(Ref ref) { delete object(ref); }

}  // namespace keychord::platform::atspi
