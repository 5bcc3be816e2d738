// The main queue on the GLib main loop of the default main context.
#include <glib-unix.h>
#include <glib.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <optional>

#include "linux_platform.h"

namespace hotword::platform {

namespace {

// Every source of the queue runs at the same priority, so sources that are
// ready together run in the order they were attached.
constexpr int queuePriority = G_PRIORITY_DEFAULT;

guint toMilliseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<guint>(std::llround(seconds * 1000.0));
}

// Attaches `source` to the default context with `data` as its callback data
// (freed by `destroy` when the source goes), and drops our reference.
void attach(GSource* source, GSourceFunc callback, gpointer data, GDestroyNotify destroy) {
    g_source_set_priority(source, queuePriority);
    g_source_set_callback(source, callback, data, destroy);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

gboolean runWorkOnce(gpointer data) {
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) { delete static_cast<Work*>(data); }

// Posts work to the default context from the thread that runs it.
void postFromMainThread(Work work) {
    attach(g_idle_source_new(), runWorkOnce, new Work(std::move(work)), deleteWork);
}

// Work submitted with async(), from any thread, in order. Other threads only
// append under the mutex and wake the context; one source attached to the
// context runs the items. (Attaching a source per item from other threads
// works too, but then the hand-over happens inside GLib, where the thread
// sanitizer cannot see its locks.)
struct PostedWork {
    std::mutex mutex;
    std::deque<Work> items;

    bool hasItems() {
        const std::lock_guard<std::mutex> lock(mutex);
        return !items.empty();
    }
    std::optional<Work> take() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (items.empty()) return std::nullopt;
        Work work = std::move(items.front());
        items.pop_front();
        return work;
    }
};

struct PostedWorkSource {
    GSource base;
    PostedWork* posted;
};

gboolean postedWorkPrepare(GSource* source, gint* timeout) {
    *timeout = -1;
    return reinterpret_cast<PostedWorkSource*>(source)->posted->hasItems();
}

gboolean postedWorkCheck(GSource* source) { return reinterpret_cast<PostedWorkSource*>(source)->posted->hasItems(); }

gboolean postedWorkDispatch(GSource* source, GSourceFunc /*callback*/, gpointer /*data*/) {
    PostedWork& posted = *reinterpret_cast<PostedWorkSource*>(source)->posted;
    // Items posted while these run wait for the next iteration, so that
    // timers and signals get their turn.
    std::size_t count;
    {
        const std::lock_guard<std::mutex> lock(posted.mutex);
        count = posted.items.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<Work> work = posted.take();
        if (!work) break;
        (*work)();
    }
    return G_SOURCE_CONTINUE;
}

GSourceFuncs postedWorkFuncs = {postedWorkPrepare, postedWorkCheck, postedWorkDispatch, nullptr, nullptr, nullptr};

class GlibWorkItem : public WorkItem {
public:
    explicit GlibWorkItem(Work work) : work_(std::move(work)) {}
    ~GlibWorkItem() override {
        if (source_) g_source_unref(source_);
    }

    void cancel() override {
        cancelled_ = true;
        GSource* source = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (source_) source = g_source_ref(source_);
        }
        if (source) {
            // Destroying a source that already ran or was destroyed is a
            // no-op while we hold a reference to it.
            g_source_destroy(source);
            g_source_unref(source);
        }
    }

    // Runs on the main loop thread.
    void perform() {
        if (cancelled_) return;
        work_();
    }

    void setSource(GSource* source) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (source_) g_source_unref(source_);
        source_ = g_source_ref(source);
    }

private:
    Work work_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    GSource* source_ = nullptr;
};

using WorkItemHolder = std::shared_ptr<GlibWorkItem>;

// What a signal or timer source's GLib callback needs. Shared between the
// source object and the GLib callback data, so neither outlives the other's
// use of it.
struct SourceState {
    Work handler;
    bool resumed = false;
    bool signalPending = false;
};
using SourceStateHolder = std::shared_ptr<SourceState>;

void deleteStateHolder(gpointer data) { delete static_cast<SourceStateHolder*>(data); }

void runHandler(const SourceState& state) {
    if (!state.handler) return;
    const Work handler = state.handler;  // the handler may replace itself
    handler();
}

class GlibSignalSource : public Source {
public:
    explicit GlibSignalSource(int signalNumber) : state_(std::make_shared<SourceState>()) {
        // Creating the GLib source installs its process-wide handler for the
        // signal right away; the signal then wakes the main loop.
        source_ = g_unix_signal_source_new(signalNumber);
        g_source_ref(source_);
        attach(source_, onSignal, new SourceStateHolder(state_), deleteStateHolder);
    }
    ~GlibSignalSource() override {
        g_source_destroy(source_);
        g_source_unref(source_);
    }

    void setEventHandler(Work handler) override { state_->handler = std::move(handler); }

    void resume() override {
        if (state_->resumed) return;
        state_->resumed = true;
        if (state_->signalPending) {
            state_->signalPending = false;
            const SourceStateHolder state = state_;
            postFromMainThread([state] { runHandler(*state); });
        }
    }

private:
    static gboolean onSignal(gpointer data) {
        SourceState& state = **static_cast<SourceStateHolder*>(data);
        if (!state.resumed) {
            state.signalPending = true;
        } else {
            runHandler(state);
        }
        return G_SOURCE_CONTINUE;
    }

    SourceStateHolder state_;
    GSource* source_ = nullptr;
};

class GlibTimerSource : public TimerSource {
public:
    GlibTimerSource() : state_(std::make_shared<TimerState>()) {}
    ~GlibTimerSource() override { state_->cancel(); }

    void setEventHandler(Work handler) override { state_->handler = std::move(handler); }

    void schedule(double firstSeconds, double intervalSeconds, double /*leewaySeconds*/) override {
        state_->firstMs = toMilliseconds(firstSeconds);
        state_->intervalMs = toMilliseconds(intervalSeconds);
        state_->scheduled = true;
    }

    void resume() override {
        if (state_->resumed) return;
        state_->resumed = true;
        // A timer that was never scheduled never fires.
        if (state_->scheduled) arm(state_, state_->firstMs);
    }

private:
    struct TimerState : SourceState {
        guint firstMs = 0;
        guint intervalMs = 0;
        bool scheduled = false;
        GSource* current = nullptr;

        void cancel() {
            if (!current) return;
            g_source_destroy(current);
            g_source_unref(current);
            current = nullptr;
        }
    };
    using TimerStateHolder = std::shared_ptr<TimerState>;

    static void arm(const TimerStateHolder& state, guint milliseconds) {
        state->cancel();
        GSource* source = g_timeout_source_new(milliseconds);
        state->current = g_source_ref(source);
        attach(source, onTick, new TimerStateHolder(state),
               [](gpointer data) { delete static_cast<TimerStateHolder*>(data); });
    }

    static gboolean onTick(gpointer data) {
        const TimerStateHolder state = *static_cast<TimerStateHolder*>(data);
        runHandler(*state);
        if (state->intervalMs == 0) return G_SOURCE_REMOVE;
        if (state->firstMs == state->intervalMs) return G_SOURCE_CONTINUE;
        // After a different first deadline, repeat at the interval.
        state->firstMs = state->intervalMs;
        arm(state, state->intervalMs);
        return G_SOURCE_REMOVE;
    }

    TimerStateHolder state_;
};

class GlibMainQueue : public MainQueue {
public:
    GlibMainQueue() : context_(g_main_context_ref(g_main_context_default())) {
        GSource* source = g_source_new(&postedWorkFuncs, sizeof(PostedWorkSource));
        reinterpret_cast<PostedWorkSource*>(source)->posted = &posted_;
        g_source_set_priority(source, queuePriority);
        g_source_attach(source, context_);
        postedSource_ = source;
    }
    ~GlibMainQueue() override {
        g_source_destroy(postedSource_);
        g_source_unref(postedSource_);
        g_main_context_unref(context_);
    }
    GlibMainQueue(const GlibMainQueue&) = delete;
    GlibMainQueue& operator=(const GlibMainQueue&) = delete;

    void async(Work work) override {
        {
            const std::lock_guard<std::mutex> lock(posted_.mutex);
            posted_.items.push_back(std::move(work));
        }
        g_main_context_wakeup(context_);
    }

    std::shared_ptr<WorkItem> makeWorkItem(Work work) override {
        return std::make_shared<GlibWorkItem>(std::move(work));
    }

    void asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) override {
        auto glibItem = std::dynamic_pointer_cast<GlibWorkItem>(std::move(item));
        if (!glibItem) return;
        GSource* source = g_timeout_source_new(toMilliseconds(delaySeconds));
        glibItem->setSource(source);
        attach(
            source,
            [](gpointer data) -> gboolean {
                (*static_cast<WorkItemHolder*>(data))->perform();
                return G_SOURCE_REMOVE;
            },
            new WorkItemHolder(std::move(glibItem)), [](gpointer data) { delete static_cast<WorkItemHolder*>(data); });
    }

    std::unique_ptr<Source> makeSignalSource(int signalNumber) override {
        return std::make_unique<GlibSignalSource>(signalNumber);
    }

    std::unique_ptr<TimerSource> makeTimerSource() override { return std::make_unique<GlibTimerSource>(); }

    void runForever() override {
        for (;;) g_main_context_iteration(context_, TRUE);
    }

private:
    GMainContext* context_;
    PostedWork posted_;
    GSource* postedSource_ = nullptr;
};

}  // namespace

std::shared_ptr<MainQueue> makeGlibMainQueue() { return std::make_shared<GlibMainQueue>(); }

}  // namespace hotword::platform
