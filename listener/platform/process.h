#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace hotword::platform {

// Process and file services the lifecycle needs.
class ProcessServices {
public:
    virtual ~ProcessServices() = default;
    virtual std::int32_t processIdentifier() = 0;
    // Makes the default action of the signal no longer end the process; the
    // signal is then acted on only by a signal source of the main queue.
    virtual void ignoreSignal(int signalNumber) = 0;
    // True when anything (file, directory, ...) exists at the path.
    virtual bool fileExists(const std::string& path) = 0;
    // Calls onGone once, from a thread of its own, when the host that started
    // the process has gone (its end of standard output closed, or the parent
    // exited). Nothing is called while the host is there.
    virtual void watchHost(std::function<void()> onGone) = 0;
    [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace hotword::platform
