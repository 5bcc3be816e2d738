// Start-up and the two ways out of a listener run.
#include "listener_process.h"

#include <csignal>
#include <cstdlib>
#include <string>

namespace hotword {

ListenerProcess startListenerProcess(const CommandLine& commandLine, const platform::Platform& backend,
                                     LineSink printLine) {
    ListenerProcess process;
    process.listener =
        WakeWordListener::create(commandLine.requestedLocale, backend.mainQueue, backend.speech, printLine);
    process.terminationSource = backend.mainQueue->makeSignalSource(SIGTERM);
    process.controlFileTimer = backend.mainQueue->makeTimerSource();

    // From here on SIGTERM reaches only the termination source.
    backend.process->ignoreSignal(SIGTERM);

    const std::weak_ptr<WakeWordListener> weakListener = process.listener;
    const std::shared_ptr<platform::ProcessServices> services = backend.process;
    process.terminationSource->setEventHandler([weakListener, services] {
        if (const auto listener = weakListener.lock()) listener->stop();
        services->exitProcess(0);
    });
    process.terminationSource->resume();

    // A host that has gone (crashed, or closed its end of the pipe) reads no
    // more lines: the agent stops listening and exits 0, without a line. The
    // watch calls from a thread of its own; the work is done on the main
    // queue like that of the other ways out.
    // The callback is handed to the process services themselves: it holds
    // them weakly.
    const std::weak_ptr<platform::MainQueue> weakQueue = backend.mainQueue;
    const std::weak_ptr<platform::ProcessServices> weakServices = services;
    backend.process->watchHost([weakQueue, weakListener, weakServices] {
        const auto mainQueue = weakQueue.lock();
        if (!mainQueue) return;
        mainQueue->async([weakListener, weakServices] {
            const auto processServices = weakServices.lock();
            if (!processServices) return;
            if (const auto listener = weakListener.lock()) listener->stop();
            processServices->exitProcess(0);
        });
    });

    if (commandLine.controlFilePath) {
        process.controlFileTimer->schedule(controlFileCheckInterval, controlFileCheckInterval, 0);
        // Only existence counts; an empty path names nothing.
        process.controlFileTimer->setEventHandler([weakListener, services, path = *commandLine.controlFilePath] {
            if (services->fileExists(path)) return;
            if (const auto listener = weakListener.lock()) listener->stop();
            services->exitProcess(0);
        });
        process.controlFileTimer->resume();
    }

    printLine("status:pid:" + std::to_string(backend.process->processIdentifier()));
    process.listener->authorizeAndStart();
    return process;
}

void runListenerProcess(const CommandLine& commandLine, const platform::Platform& backend, LineSink printLine) {
    // Kept on this frame, which never returns.
    [[maybe_unused]] const ListenerProcess process = startListenerProcess(commandLine, backend, std::move(printLine));
    backend.mainQueue->runForever();
    // runForever() never returns; the compiler cannot see that through the
    // virtual call.
    std::abort();
}

}  // namespace hotword
