#pragma once

#include <functional>

#include <sys/types.h>

namespace agents {

// Calls onGone once, from a thread of its own, when the host that started
// this process has gone: the reader of standard output closed its end (or
// standard output hung up), or the parent process exited. Nothing is called
// while the host is there. Call it once, early in start-up, before anything
// may have reparented the process.
void watchHost(std::function<void()> onGone);

namespace detail {
// The watch itself, on a given output descriptor and parent process id, so
// that tests can stand in for the host. A negative descriptor or a parent id
// of 0 or 1 leaves that side unwatched.
void watchHost(int outputDescriptor, pid_t parent, std::function<void()> onGone);
}  // namespace detail

}  // namespace agents
