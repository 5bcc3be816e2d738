// The main queue on libdispatch: dispatch_async/dispatch_after on the main
// queue, cancellable dispatch blocks, signal and timer sources, dispatch_main.
// Compiled with ARC: dispatch objects and blocks are released by ARC.
#import <Foundation/Foundation.h>

#include <dispatch/dispatch.h>

#include <cstdint>

#include "backend_mac.h"

namespace hotword::platform::mac {

namespace {

std::int64_t nanoseconds(double seconds) {
    return static_cast<std::int64_t>(seconds * static_cast<double>(NSEC_PER_SEC));
}

// Blocks copy what they capture: the work goes in by shared_ptr so that each
// copy of the block shares the one function object.
dispatch_block_t blockFor(Work work) {
    auto shared = std::make_shared<Work>(std::move(work));
    return ^{
      @autoreleasepool {
          (*shared)();
      }
    };
}

class MacWorkItem final : public WorkItem {
public:
    explicit MacWorkItem(Work work) : block_(dispatch_block_create(static_cast<dispatch_block_flags_t>(0), blockFor(std::move(work)))) {}

    // A cancelled block that has not begun never runs.
    void cancel() override { dispatch_block_cancel(block_); }

    dispatch_block_t block() const { return block_; }

private:
    dispatch_block_t block_;
};

// A dispatch source on the main queue. Sources are created suspended;
// libdispatch forbids releasing a suspended source, so one that was never
// resumed is resumed after it is cancelled, when its holder lets it go.
class MacSource {
public:
    explicit MacSource(dispatch_source_t source) : source_(source) {}
    ~MacSource() {
        dispatch_source_cancel(source_);
        if (!resumed_) dispatch_resume(source_);
    }
    MacSource(const MacSource&) = delete;
    MacSource& operator=(const MacSource&) = delete;

    void setEventHandler(Work handler) { dispatch_source_set_event_handler(source_, blockFor(std::move(handler))); }
    void resume() {
        if (resumed_) return;
        resumed_ = true;
        dispatch_resume(source_);
    }
    dispatch_source_t get() const { return source_; }

private:
    dispatch_source_t source_;
    bool resumed_ = false;
};

class MacSignalSource final : public Source {
public:
    explicit MacSignalSource(dispatch_source_t source) : source_(source) {}
    void setEventHandler(Work handler) override { source_.setEventHandler(std::move(handler)); }
    void resume() override { source_.resume(); }

private:
    MacSource source_;
};

class MacTimerSource final : public TimerSource {
public:
    explicit MacTimerSource(dispatch_source_t source) : source_(source) {}
    void setEventHandler(Work handler) override { source_.setEventHandler(std::move(handler)); }
    void resume() override { source_.resume(); }
    void schedule(double firstSeconds, double intervalSeconds, double leewaySeconds) override {
        dispatch_source_set_timer(source_.get(), dispatch_time(DISPATCH_TIME_NOW, nanoseconds(firstSeconds)),
                                  static_cast<std::uint64_t>(nanoseconds(intervalSeconds)),
                                  static_cast<std::uint64_t>(nanoseconds(leewaySeconds)));
    }

private:
    MacSource source_;
};

class MacMainQueue final : public MainQueue {
public:
    void async(Work work) override { dispatch_async(dispatch_get_main_queue(), blockFor(std::move(work))); }

    std::shared_ptr<WorkItem> makeWorkItem(Work work) override { return std::make_shared<MacWorkItem>(std::move(work)); }

    void asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) override {
        auto* macItem = dynamic_cast<MacWorkItem*>(item.get());
        if (macItem == nullptr) return;
        dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds(delaySeconds)), dispatch_get_main_queue(),
                       macItem->block());
    }

    std::unique_ptr<Source> makeSignalSource(int signalNumber) override {
        return std::make_unique<MacSignalSource>(dispatch_source_create(
            DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signalNumber), 0, dispatch_get_main_queue()));
    }

    // Created without flags.
    std::unique_ptr<TimerSource> makeTimerSource() override {
        return std::make_unique<MacTimerSource>(
            dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue()));
    }

    [[noreturn]] void runForever() override { dispatch_main(); }
};

}  // namespace

std::shared_ptr<MainQueue> makeMainQueue() { return std::make_shared<MacMainQueue>(); }

}  // namespace hotword::platform::mac
