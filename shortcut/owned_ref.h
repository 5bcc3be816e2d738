#pragma once

#include <utility>

#include "platform/accessibility.h"

namespace keychord {

// Holds one reference obtained from a create or copy call of the
// accessibility interface and releases it exactly once: on reset() or when
// the holder goes. A null reference is never released.
class OwnedRef {
public:
    explicit OwnedRef(platform::Accessibility& accessibility, platform::Ref ref = nullptr)
        : accessibility_(&accessibility), ref_(ref) {}
    ~OwnedRef() { reset(); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept
        : accessibility_(other.accessibility_), ref_(std::exchange(other.ref_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&&) = delete;

    platform::Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

    // The output slot for a copy call. Whatever the call leaves there is
    // released with the holder, whether the call succeeded or not. Whatever
    // the holder held before is released first.
    platform::Ref* slot() {
        reset();
        return &ref_;
    }

    void reset() {
        if (ref_ != nullptr) accessibility_->release(std::exchange(ref_, nullptr));
    }

private:
    platform::Accessibility* accessibility_;
    platform::Ref ref_;
};

}  // namespace keychord
