#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

#include "main_queue.h"

namespace hotword::platform {

// Brings back an audio engine that stopped by itself (its input device or
// the device's configuration changed) on the main queue: `restart` reinstalls
// the tap with the input's current format and starts the engine again, and is
// tried at once, then with a growing delay (bounded) until it succeeds or the
// recovery is cancelled. Backends use it inside their audio engine; the
// listener never sees it.
class EngineRecovery {
public:
    static constexpr double firstRetryDelay = 0.25;
    static constexpr double longestRetryDelay = 4.0;

    EngineRecovery(std::shared_ptr<MainQueue> mainQueue, std::function<bool()> restart)
        : state_(std::make_shared<State>()) {
        state_->mainQueue = std::move(mainQueue);
        state_->restart = std::move(restart);
    }
    ~EngineRecovery() { cancel(); }
    EngineRecovery(const EngineRecovery&) = delete;
    EngineRecovery& operator=(const EngineRecovery&) = delete;

    // From any thread: the engine has stopped by itself. Attempts start on
    // the main queue at once; a recovery already under way goes on.
    void engineStopped() {
        const std::weak_ptr<State> weak = state_;
        state_->mainQueue->async([weak] {
            const auto state = weak.lock();
            if (!state || state->pending) return;
            state->delay = firstRetryDelay;
            schedule(state, 0);
        });
    }

    // On the main queue: no further attempts (the engine was stopped).
    void cancel() {
        if (state_->pending) state_->pending->cancel();
        state_->pending.reset();
    }

    bool recovering() const { return state_->pending != nullptr; }

private:
    struct State {
        std::shared_ptr<MainQueue> mainQueue;
        std::function<bool()> restart;
        std::shared_ptr<WorkItem> pending;
        double delay = firstRetryDelay;
    };

    static void schedule(const std::shared_ptr<State>& state, double delay) {
        const std::weak_ptr<State> weak = state;
        state->pending = state->mainQueue->makeWorkItem([weak] {
            const auto current = weak.lock();
            if (!current) return;
            if (current->restart()) {
                current->pending.reset();
                return;
            }
            const double next = current->delay;
            current->delay = std::min(current->delay * 2, longestRetryDelay);
            schedule(current, next);
        });
        state->mainQueue->asyncAfter(delay, state->pending);
    }

    std::shared_ptr<State> state_;
};

}  // namespace hotword::platform
