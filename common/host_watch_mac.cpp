#include "host_watch.h"

#include <memory>
#include <utility>

#include <dispatch/dispatch.h>
#include <unistd.h>

namespace agents {
namespace {

struct ParentWatch {
    std::function<void()> onGone;
    dispatch_once_t once = 0;
};

void callOnce(void* context) {
    auto* watch = static_cast<ParentWatch*>(context);
    dispatch_once_f(&watch->once, watch, [](void* c) { static_cast<ParentWatch*>(c)->onGone(); });
}

}  // namespace

namespace detail {

// A process source on the parent's exit, on a global queue. The watch and
// its source live as long as the process. Standard output is not watched
// here: a pipe's write end reports a closed reader only to a write.
void watchHost(int outputDescriptor, pid_t parent, std::function<void()> onGone) {
    (void)outputDescriptor;
    if (parent <= 1) return;
    auto* watch = new ParentWatch{std::move(onGone)};
    dispatch_queue_t queue = dispatch_get_global_queue(QOS_CLASS_UTILITY, 0);
    dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC,
                                                      static_cast<uintptr_t>(parent), DISPATCH_PROC_EXIT, queue);
    if (source == nullptr) {
        // The parent is already gone (no such process to watch).
        dispatch_async_f(queue, watch, callOnce);
        return;
    }
    dispatch_set_context(source, watch);
    dispatch_source_set_event_handler_f(source, callOnce);
    dispatch_resume(source);
    // The parent may have exited before the source was armed.
    if (::getppid() != parent) dispatch_async_f(queue, watch, callOnce);
}

}  // namespace detail

void watchHost(std::function<void()> onGone) {
    detail::watchHost(STDOUT_FILENO, ::getppid(), std::move(onGone));
}

}  // namespace agents
