#pragma once

#include <cstdint>
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
    [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace hotword::platform
