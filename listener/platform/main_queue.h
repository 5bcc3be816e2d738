#pragma once

#include <functional>
#include <memory>

// The main queue and the dispatch sources that run on it. Everything that
// touches the listener runs here, one item at a time, in order.
namespace hotword::platform {

using Work = std::function<void()>;

// A cancellable unit of work. A cancelled item that has not begun never runs.
class WorkItem {
public:
    virtual ~WorkItem() = default;
    virtual void cancel() = 0;
};

// A dispatch source (signal or timer): created suspended, its handler set,
// then resumed. It lives as long as the holder keeps it.
class Source {
public:
    virtual ~Source() = default;
    virtual void setEventHandler(Work handler) = 0;
    virtual void resume() = 0;
};

class TimerSource : public Source {
public:
    // First deadline `firstSeconds` from now, then every `intervalSeconds`.
    virtual void schedule(double firstSeconds, double intervalSeconds, double leewaySeconds) = 0;
};

class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Submits work to run on the main queue. Callable from any thread.
    virtual void async(Work work) = 0;

    virtual std::shared_ptr<WorkItem> makeWorkItem(Work work) = 0;
    // Runs the item on the main queue `delaySeconds` from now unless it is
    // cancelled first.
    virtual void asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) = 0;

    // A source whose handler runs on the main queue when the signal arrives.
    virtual std::unique_ptr<Source> makeSignalSource(int signalNumber) = 0;
    virtual std::unique_ptr<TimerSource> makeTimerSource() = 0;

    // Serves the main queue on the calling (main) thread and never returns.
    [[noreturn]] virtual void runForever() = 0;
};

}  // namespace hotword::platform
