// Process and file services on macOS: getpid, signal, exit and NSFileManager.
#import <Foundation/Foundation.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "backend_mac.h"

namespace hotword::platform::mac {

namespace {

class MacProcessServices final : public ProcessServices {
public:
    std::int32_t processIdentifier() override { return static_cast<std::int32_t>(getpid()); }

    // SIG_IGN: the default action no longer ends the process, while a
    // dispatch signal source (kqueue) still sees the signal arrive.
    void ignoreSignal(int signalNumber) override { std::signal(signalNumber, SIG_IGN); }

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

    [[noreturn]] void exitProcess(int status) override { std::exit(status); }
};

}  // namespace

std::shared_ptr<ProcessServices> makeProcessServices() { return std::make_shared<MacProcessServices>(); }

}  // namespace hotword::platform::mac
