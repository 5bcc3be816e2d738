#include "active_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace keychord::platform::atspi {

namespace {

// A window can go away between two requests; its errors only mean "no
// answer" here, never the end of the process (Xlib's default).
int ignoreError(Display*, XErrorEvent*) { return 0; }

// A broken connection (the X server gone or restarting) is not the end of
// the process either: Xlib's default handlers print a message and exit.
// The query that meets it goes without an answer, and the next one
// connects again.
int ignoreConnectionError(Display*) { return 0; }

// One 32-bit-format property value of the given type, or nothing.
std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format,
                                          &count, &remaining, &data);
    std::optional<unsigned long> value;
    if (status == Success && actualType == type && format == 32 && count == 1 && data) {
        value = *reinterpret_cast<unsigned long*>(data);  // Xlib widens format 32 to long
    }
    if (data) XFree(data);
    return value;
}

}  // namespace

ActiveWindow::~ActiveWindow() { disconnect(); }

void ActiveWindow::onConnectionBroken(Display*, void* self) { static_cast<ActiveWindow*>(self)->broken_ = true; }

void ActiveWindow::disconnect() {
    // After a broken connection Xlib only frees the display here.
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
    broken_ = false;
}

bool ActiveWindow::connect() {
    if (display_) return true;
    XSetIOErrorHandler(ignoreConnectionError);
    display_ = XOpenDisplay(nullptr);
    if (!display_) return false;
    XSetIOErrorExitHandler(display_, &ActiveWindow::onConnectionBroken, this);
    XSetErrorHandler(ignoreError);
    activeWindowAtom_ = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    pidAtom_ = XInternAtom(display_, "_NET_WM_PID", False);
    return true;
}

std::optional<pid_t> ActiveWindow::ownerPid() {
    if (!connect()) return std::nullopt;
    const auto pid = lookUpOwnerPid();
    if (!broken_) return pid;
    disconnect();
    return std::nullopt;
}

std::optional<pid_t> ActiveWindow::lookUpOwnerPid() {
    const Window root = DefaultRootWindow(display_);
    if (const auto active = cardinalProperty(display_, root, activeWindowAtom_, XA_WINDOW)) {
        // Some window managers leave a window that was unmapped named as
        // the active one.
        XWindowAttributes attributes;
        if (*active == None || !XGetWindowAttributes(display_, *active, &attributes) ||
            attributes.map_state != IsViewable) {
            return std::nullopt;
        }
        const auto pid = cardinalProperty(display_, *active, pidAtom_, XA_CARDINAL);
        if (!pid) return std::nullopt;
        return static_cast<pid_t>(*pid);
    }
    // No window manager: follow the input focus up to a window with a pid.
    Window window = None;
    int revertTo = 0;
    XGetInputFocus(display_, &window, &revertTo);
    while (window != None && window != PointerRoot && window != root) {
        if (const auto pid = cardinalProperty(display_, window, pidAtom_, XA_CARDINAL)) {
            return static_cast<pid_t>(*pid);
        }
        Window windowRoot = None, parent = None;
        Window* children = nullptr;
        unsigned int childCount = 0;
        if (!XQueryTree(display_, window, &windowRoot, &parent, &children, &childCount)) break;
        if (children) XFree(children);
        window = parent;
    }
    return std::nullopt;
}

}  // namespace keychord::platform::atspi
