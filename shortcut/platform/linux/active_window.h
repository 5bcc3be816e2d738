#pragma once

#include <optional>
#include <sys/types.h>

typedef struct _XDisplay Display;

// The process that owns the active window of the X11 display (on Wayland:
// of the XWayland display, so only X11 applications are seen).
namespace keychord::platform::atspi {

class ActiveWindow {
public:
    ActiveWindow() = default;
    ~ActiveWindow();
    ActiveWindow(const ActiveWindow&) = delete;
    ActiveWindow& operator=(const ActiveWindow&) = delete;

    // _NET_ACTIVE_WINDOW -> _NET_WM_PID when a window manager publishes the
    // active window; without one, the window holding the input focus (or its
    // nearest ancestor with a pid). Nothing when no window is active or the
    // active one is not shown. A broken connection gives nothing; the next
    // call connects again.
    std::optional<pid_t> ownerPid();

private:
    bool connect();
    void disconnect();
    std::optional<pid_t> lookUpOwnerPid();
    static void onConnectionBroken(Display* display, void* self);

    bool broken_ = false;

    Display* display_ = nullptr;
    unsigned long activeWindowAtom_ = 0;
    unsigned long pidAtom_ = 0;
};

}  // namespace keychord::platform::atspi
