#include "host_watch.h"

#include <cerrno>
#include <memory>
#include <thread>
#include <utility>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace agents {
namespace {

// A descriptor that becomes readable when the process exits, or -1 where
// the kernel has no process descriptors (before Linux 5.3).
int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Polls the output descriptor for a hang-up or an error (asked for no event,
// so a writable pipe, a file or /dev/null never wakes the poll) and the
// parent's process descriptor for its exit. Without a process descriptor the
// parent id is compared every quarter second instead.
void watchLoop(int output, pid_t parent, int parentDescriptor, const std::function<void()>& onGone) {
    const int pollTimeout = (parent > 1 && parentDescriptor < 0) ? 250 : -1;
    for (;;) {
        pollfd watched[2];
        nfds_t count = 0;
        int outputSlot = -1;
        if (output >= 0) {
            outputSlot = static_cast<int>(count);
            watched[count++] = pollfd{output, 0, 0};
        }
        if (parentDescriptor >= 0) watched[count++] = pollfd{parentDescriptor, POLLIN, 0};
        if (count == 0 && pollTimeout < 0) return;

        const int ready = ::poll(watched, count, pollTimeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (parent > 1 && parentDescriptor < 0 && ::getppid() != parent) break;
        if (ready == 0) continue;

        bool gone = false;
        for (nfds_t i = 0; i < count; ++i) {
            const short events = watched[i].revents;
            if (events == 0) continue;
            if (static_cast<int>(i) == outputSlot && (events & POLLNVAL)) {
                output = -1;  // not open: nobody reads it, and nothing can be learnt from it
                continue;
            }
            gone = true;
        }
        if (gone) break;
    }
    if (parentDescriptor >= 0) ::close(parentDescriptor);
    onGone();
}

}  // namespace

namespace detail {

void watchHost(int outputDescriptor, pid_t parent, std::function<void()> onGone) {
    int parentDescriptor = -1;
    if (parent > 1) {
        parentDescriptor = openProcessDescriptor(parent);
        // The parent may have gone before its descriptor was opened; an id
        // that no longer names a process is gone as well.
        if (parentDescriptor < 0 && errno == ESRCH) {
            std::thread(std::move(onGone)).detach();
            return;
        }
    }
    std::thread(watchLoop, outputDescriptor, parent, parentDescriptor, std::move(onGone)).detach();
}

}  // namespace detail

void watchHost(std::function<void()> onGone) {
    const pid_t parent = ::getppid();
    detail::watchHost(STDOUT_FILENO, parent, std::move(onGone));
}

}  // namespace agents
