// Process and file services on Linux.
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host_watch.h"
#include "linux_platform.h"

namespace hotword::platform {

namespace {

void doNothing(int /*signalNumber*/) {}

class LinuxProcessServices : public ProcessServices {
public:
    std::int32_t processIdentifier() override { return static_cast<std::int32_t>(getpid()); }

    void ignoreSignal(int signalNumber) override {
        // SIG_IGN would make the kernel discard the signal, so the main
        // loop's signal source would never see it. Keep the default action
        // away instead: a handler the signal source already installed stays;
        // otherwise a handler that does nothing takes the default's place
        // until the signal source installs its own.
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) != 0) return;
        const bool hasDefaultAction = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
        if (!hasDefaultAction) return unblock(signalNumber);
        struct sigaction replacement {};
        replacement.sa_handler = doNothing;
        sigemptyset(&replacement.sa_mask);
        replacement.sa_flags = SA_RESTART;
        sigaction(signalNumber, &replacement, nullptr);
        unblock(signalNumber);
    }

    bool fileExists(const std::string& path) override {
        // An empty path names nothing; a directory counts as existing.
        if (path.empty()) return false;
        struct stat status {};
        return stat(path.c_str(), &status) == 0;
    }

    void watchHost(std::function<void()> onGone) override { agents::watchHost(std::move(onGone)); }

    // Ends the process at once, without running static destructors: the
    // decoder and audio threads may still be reading what they would destroy.
    // The audio path is stopped before this is called; the lines written so
    // far are flushed first.
    void exitProcess(int status) override {
        std::fflush(stdout);
        _exit(status);
    }

private:
    // A host may start the agent with the signal blocked; it must still reach
    // the signal source. Threads started later inherit this mask.
    static void unblock(int signalNumber) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signalNumber);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
};

}  // namespace

std::shared_ptr<ProcessServices> makeLinuxProcessServices() { return std::make_shared<LinuxProcessServices>(); }

}  // namespace hotword::platform
