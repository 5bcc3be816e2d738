#include "fake_event_tap.h"

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace keychord::platform {

void FakeEventTap::setTrusted(bool trusted) {
    std::lock_guard<std::mutex> lock(mutex_);
    trusted_ = trusted;
}

void FakeEventTap::setCreationFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    creationFails_ = fails;
}

void FakeEventTap::setEvents(std::vector<TapEvent> events) {
    auto script = std::make_shared<std::vector<TapEvent>>(std::move(events));
    auto next = std::make_shared<std::size_t>(0);
    setEventSource([script, next]() -> std::optional<TapEvent> {
        if (*next >= script->size()) return std::nullopt;
        return (*script)[(*next)++];
    });
}

void FakeEventTap::setEventSource(EventSource source) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
}

void FakeEventTap::setKeepRunningAfterScript(bool keepRunning) {
    std::lock_guard<std::mutex> lock(mutex_);
    keepRunning_ = keepRunning;
}

TapVerdict FakeEventTap::deliver(const TapEvent& event) {
    TapCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event.type == 0xFFFFFFFEu || event.type == 0xFFFFFFFFu) enabled_ = false;
        callback = callback_;
    }
    const TapVerdict verdict = callback ? callback(event) : TapVerdict::pass;
    std::lock_guard<std::mutex> lock(mutex_);
    verdicts_.push_back(verdict);
    return verdict;
}

std::vector<std::string> FakeEventTap::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<TapVerdict> FakeEventTap::verdicts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return verdicts_;
}

bool FakeEventTap::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

void FakeEventTap::record(const char* call) { calls_.emplace_back(call); }

bool FakeEventTap::isProcessTrusted() {
    std::lock_guard<std::mutex> lock(mutex_);
    record("isProcessTrusted");
    return trusted_;
}

bool FakeEventTap::create(TapCallback callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    record("create");
    if (creationFails_) return false;
    callback_ = std::move(callback);
    return true;
}

void FakeEventTap::addToRunLoop() {
    std::lock_guard<std::mutex> lock(mutex_);
    record("addToRunLoop");
}

void FakeEventTap::enable() {
    std::lock_guard<std::mutex> lock(mutex_);
    record("enable");
    enabled_ = true;
}

void FakeEventTap::run() {
    EventSource source;
    bool keepRunning = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        record("run");
        source = source_;
        keepRunning = keepRunning_;
    }
    if (source) {
        while (!stopped()) {
            const std::optional<TapEvent> event = source();
            if (!event) break;
            deliver(*event);
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (keepRunning) stoppedChanged_.wait(lock, [this] { return stopped_; });
}

void FakeEventTap::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    stoppedChanged_.notify_all();
}

bool FakeEventTap::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

}  // namespace keychord::platform
