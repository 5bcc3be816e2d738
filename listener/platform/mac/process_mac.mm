// Process and file services on macOS: getpid, signal, _exit and NSFileManager.
#import <Foundation/Foundation.h>

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "backend_mac.h"
#include "host_watch.h"

namespace hotword::platform::mac {

namespace {

class MacProcessServices final : public ProcessServices {
public:
    std::int32_t processIdentifier() override { return static_cast<std::int32_t>(getpid()); }

    // SIG_IGN: the default action no longer ends the process, while a
    // dispatch signal source (kqueue) still sees the signal arrive.
    // A host may start the agent with the signal blocked: it is unblocked
    // too, so that it reaches the source.
    void ignoreSignal(int signalNumber) override {
        std::signal(signalNumber, SIG_IGN);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signalNumber);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }

    bool fileExists(const std::string& path) override {
        @autoreleasepool {
            NSString* string = [[NSString alloc] initWithBytes:path.data()
                                                        length:path.size()
                                                      encoding:NSUTF8StringEncoding];
            // A path that is not valid UTF-8 names nothing NSFileManager can find.
            if (string == nil) return false;
            return [[NSFileManager defaultManager] fileExistsAtPath:string];
        }
    }

    void watchHost(std::function<void()> onGone) override { agents::watchHost(std::move(onGone)); }

    // Ends the process without running static destructors, which the speech
    // and audio threads may still be using; the audio path is stopped
    // before, and the lines written so far are flushed first.
    [[noreturn]] void exitProcess(int status) override {
        std::fflush(stdout);
        _exit(status);
    }
};

}  // namespace

std::shared_ptr<ProcessServices> makeProcessServices() { return std::make_shared<MacProcessServices>(); }

}  // namespace hotword::platform::mac
