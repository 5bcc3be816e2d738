// An event tap for machines where the keyboard cannot be watched: the
// process is never trusted, so the monitor stops at its start-up check.
#include "linux_backends.h"

namespace keychord::platform {

namespace {

class UnavailableEventTap final : public EventTap {
public:
    bool isProcessTrusted() override { return false; }
    bool create(TapCallback) override { return false; }
    void addToRunLoop() override {}
    void enable() override {}
    void run() override {}
};

}  // namespace

std::shared_ptr<EventTap> makeLinuxEventTap() { return std::make_shared<UnavailableEventTap>(); }

}  // namespace keychord::platform
