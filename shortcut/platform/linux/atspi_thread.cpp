#include "atspi_thread.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <glib.h>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "atspi_accessibility.h"

namespace keychord::platform::atspi {

namespace {

constexpr int errorCannotComplete = -25204;

struct Copied {
    int status = errorCannotComplete;
    Ref value = nullptr;
};

}  // namespace

// What the caller and the thread share; the thread keeps it alive after the
// port object has gone.
struct AtspiThread::Shared {
    std::mutex mutex;
    std::condition_variable answered;
    std::deque<std::function<void()>> calls;
    bool ending = false;
    GMainContext* const context = g_main_context_new();
    // Made here, used and destroyed on the thread only.
    std::unique_ptr<AtspiAccessibility> accessibility = std::make_unique<AtspiAccessibility>(context);

    Shared() = default;
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { g_main_context_unref(context); }

    void post(std::function<void()> call) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::move(call));
        }
        g_main_context_wakeup(context);
    }

    // The thread: runs the calls handed over and, between them, dispatches
    // the bus messages (focus events) as they come.
    static void run(const std::shared_ptr<Shared>& shared) {
        // Only this thread ever dispatches the context.
        g_main_context_acquire(shared->context);
        std::deque<std::function<void()>> due;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                due.swap(shared->calls);
                if (due.empty() && shared->ending) break;
            }
            for (auto& call : due) call();
            // A call handed over meanwhile wakes the context up.
            g_main_context_iteration(shared->context, due.empty());
            due.clear();
        }
        shared->accessibility.reset();
        g_main_context_release(shared->context);
    }

    // Runs `work` on the thread and waits for its result until `deadline`.
    // A result that comes later is handed to `discard` on the thread.
    template <typename Result>
    std::optional<Result> ask(const std::shared_ptr<Shared>& self, std::chrono::steady_clock::time_point deadline,
                              std::function<Result(AtspiAccessibility&)> work,
                              std::function<void(AtspiAccessibility&, Result&)> discard = {}) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        struct Answer {
            std::optional<Result> result;
            bool abandoned = false;
        };
        auto answer = std::make_shared<Answer>();
        post([self, answer, work = std::move(work), discard = std::move(discard)] {
            Result result = work(*self->accessibility);
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                if (!answer->abandoned) {
                    answer->result = std::move(result);
                    self->answered.notify_all();
                    return;
                }
            }
            if (discard) discard(*self->accessibility, result);
        });
        std::unique_lock<std::mutex> lock(mutex);
        if (!answered.wait_until(lock, deadline, [&answer] { return answer->result.has_value(); })) {
            answer->abandoned = true;
            return std::nullopt;
        }
        return std::move(answer->result);
    }
};

AtspiThread::AtspiThread(std::chrono::milliseconds queryTime)
    : queryTime_(queryTime), shared_(std::make_shared<Shared>()) {
    // Connecting may wait long on a bus that does not answer: the queries
    // meanwhile fail at their deadline.
    shared_->post([shared = shared_] { shared->accessibility->start(); });
    std::thread([shared = shared_] { Shared::run(shared); }).detach();
}

AtspiThread::~AtspiThread() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->ending = true;
    }
    g_main_context_wakeup(shared_->context);
}

Ref AtspiThread::copyFrontmostApplication() {
    deadline_ = Clock::now() + queryTime_;
    const auto application = shared_->ask<Ref>(
        shared_, deadline_, [](AtspiAccessibility& ax) { return ax.copyFrontmostApplication(); },
        [](AtspiAccessibility& ax, Ref& late) { ax.release(late); });
    return application.value_or(nullptr);
}

void AtspiThread::setMessagingTimeout(Ref element, float seconds) {
    shared_->ask<bool>(shared_, deadline_, [element, seconds](AtspiAccessibility& ax) {
        ax.setMessagingTimeout(element, seconds);
        return true;
    });
}

int AtspiThread::copyAttributeValue(Ref element, const std::string& attribute, Ref* value) {
    const auto copied = shared_->ask<Copied>(
        shared_, deadline_,
        [element, attribute](AtspiAccessibility& ax) {
            Copied result;
            result.status = ax.copyAttributeValue(element, attribute, &result.value);
            return result;
        },
        [](AtspiAccessibility& ax, Copied& late) { ax.release(late.value); });
    *value = copied ? copied->value : nullptr;
    return copied ? copied->status : errorCannotComplete;
}

int AtspiThread::copyParameterizedAttributeValue(Ref element, const std::string& attribute, Ref parameter,
                                                 Ref* value) {
    const auto copied = shared_->ask<Copied>(
        shared_, deadline_,
        [element, attribute, parameter](AtspiAccessibility& ax) {
            Copied result;
            result.status = ax.copyParameterizedAttributeValue(element, attribute, parameter, &result.value);
            return result;
        },
        [](AtspiAccessibility& ax, Copied& late) { ax.release(late.value); });
    *value = copied ? copied->value : nullptr;
    return copied ? copied->status : errorCannotComplete;
}

void AtspiThread::release(Ref object) {
    // Elements hold AT-SPI objects: they go on the thread, after every call
    // handed over before that might still use them.
    if (object) shared_->post([shared = shared_, object] { shared->accessibility->release(object); });
}

// The rest reads or makes plain values and never reaches AT-SPI.
std::int32_t AtspiThread::processIdentifier(Ref application) {
    return shared_->accessibility->processIdentifier(application);
}
Ref AtspiThread::createApplicationElement(std::int32_t pid) {
    return shared_->accessibility->createApplicationElement(pid);
}
int AtspiThread::setAttributeValueTrue(Ref element, const std::string& attribute) {
    return shared_->accessibility->setAttributeValueTrue(element, attribute);
}
bool AtspiThread::isElement(Ref value) { return shared_->accessibility->isElement(value); }
bool AtspiThread::isAXValue(Ref value) { return shared_->accessibility->isAXValue(value); }
bool AtspiThread::stringValue(Ref value, std::string* text) { return shared_->accessibility->stringValue(value, text); }
bool AtspiThread::getPoint(Ref value, Point* point) { return shared_->accessibility->getPoint(value, point); }
bool AtspiThread::getSize(Ref value, Size* size) { return shared_->accessibility->getSize(value, size); }
bool AtspiThread::getRect(Ref value, Rect* rect) { return shared_->accessibility->getRect(value, rect); }
bool AtspiThread::getCharRange(Ref value, CharRange* range) {
    return shared_->accessibility->getCharRange(value, range);
}
Ref AtspiThread::createCharRangeValue(CharRange range) { return shared_->accessibility->createCharRangeValue(range); }

}  // namespace keychord::platform::atspi
