// keychord-probe: keychord-agent without its keyboard. Every line read on
// standard input stands for one accepted Fn+Space press: the same emission
// work item the tap callback queues runs on the same emission queue, over
// the same accessibility backend, and prints the shortcut line. Built
// beside the agent for tests and benchmarks; not installed.
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>

#include "line_queue.h"
#include "monitor.h"
#include "platform/platform.h"

int main() {
    keychord::platform::Platform platform = keychord::platform::makeSystemPlatform();
    const std::weak_ptr<keychord::platform::Accessibility> accessibility = platform.accessibility;
    // Reading a press never waits for standard output to be read.
    std::cin.tie(nullptr);
    std::string line;
    while (std::getline(std::cin, line)) {
        platform.emissionQueue->async([accessibility] {
            if (const auto ax = accessibility.lock()) keychord::emitShortcut(*ax);
        });
    }
    // Standard input ended: report the presses still queued, then stop.
    std::promise<void> drained;
    platform.emissionQueue->async([&drained] { drained.set_value(); });
    drained.get_future().wait();
    keychord::standardOutputLines().waitUntilWritten();
    // As the agent does: no wait for the accessibility service's thread.
    std::_Exit(0);
}
