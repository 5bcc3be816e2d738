#pragma once

#include <memory>

#include "command_line.h"
#include "line_sink.h"
#include "platform/platform.h"
#include "wake_word_listener.h"

namespace hotword {

// The process-wide values start-up sets once. They live until the process
// exits; the sources are never cancelled.
struct ListenerProcess {
    std::shared_ptr<WakeWordListener> listener;
    std::unique_ptr<platform::Source> terminationSource;
    // Armed only when a control file was named.
    std::unique_ptr<platform::TimerSource> controlFileTimer;
};

// Seconds from start-up to the first control-file check, and between checks.
inline constexpr double controlFileCheckInterval = 0.5;

// Start-up of a listener run, up to the main loop: creates the listener, sets
// up SIGTERM, the host watch and the control-file check (each stops the
// listener and exits 0 without a line), prints "status:pid:<pid>" and starts the permission
// sequence.
ListenerProcess startListenerProcess(const CommandLine& commandLine, const platform::Platform& backend,
                                     LineSink printLine = defaultLineSink());

// startListenerProcess(), then the main queue for good.
[[noreturn]] void runListenerProcess(const CommandLine& commandLine, const platform::Platform& backend,
                                     LineSink printLine = defaultLineSink());

}  // namespace hotword
