#include "fake_platform.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace hotword::platform::fake {

std::vector<std::string> ObjectCounts::leaks() const {
    std::vector<std::string> out;
    const std::pair<const char*, const ObjectCount*> kinds[] = {
        {"recognizers", &recognizers},       {"audioEngines", &audioEngines},
        {"recognitionRequests", &recognitionRequests}, {"recognitionTasks", &recognitionTasks},
        {"audioBuffers", &audioBuffers},     {"workItems", &workItems},
        {"signalSources", &signalSources},   {"timerSources", &timerSources},
    };
    for (const auto& [name, count] : kinds) {
        if (count->live() != 0) out.push_back(std::string(name) + ": " + std::to_string(count->live()) + " alive");
    }
    return out;
}

// ---------------------------------------------------------------------------
// Main queue.

namespace {

std::int64_t toMicros(double seconds) { return std::llround(seconds * 1e6); }

class FakeWorkItem : public WorkItem {
public:
    FakeWorkItem(std::shared_ptr<ObjectCounts> counts, Work work)
        : counts_(std::move(counts)), work_(std::move(work)), counted_(counts_->workItems) {}

    void cancel() override { cancelled_ = true; }

    // Runs the work unless the item was cancelled before it began.
    void perform() {
        if (cancelled_) return;
        work_();
    }

private:
    std::shared_ptr<ObjectCounts> counts_;
    Work work_;
    std::atomic<bool> cancelled_{false};
    Counted counted_;
};

}  // namespace

struct FakeMainQueue::SourceState {
    bool isSignal = false;
    int signalNumber = 0;
    Work handler;
    bool resumed = false;
    bool alive = true;
    bool signalPending = false;
    std::optional<std::int64_t> firstMicros;
    std::int64_t intervalMicros = 0;
};

namespace {

class FakeSignalSource : public Source {
public:
    FakeSignalSource(std::shared_ptr<ObjectCounts> counts, std::shared_ptr<FakeMainQueue::SourceState> state,
                     std::function<void()> onResume)
        : counts_(std::move(counts)), state_(std::move(state)), onResume_(std::move(onResume)),
          counted_(counts_->signalSources) {}
    ~FakeSignalSource() override { state_->alive = false; }
    void setEventHandler(Work handler) override { state_->handler = std::move(handler); }
    void resume() override { onResume_(); }

private:
    std::shared_ptr<ObjectCounts> counts_;
    std::shared_ptr<FakeMainQueue::SourceState> state_;
    std::function<void()> onResume_;
    Counted counted_;
};

class FakeTimerSource : public TimerSource {
public:
    FakeTimerSource(std::shared_ptr<ObjectCounts> counts, std::shared_ptr<FakeMainQueue::SourceState> state,
                    std::function<void()> onResume)
        : counts_(std::move(counts)), state_(std::move(state)), onResume_(std::move(onResume)),
          counted_(counts_->timerSources) {}
    ~FakeTimerSource() override { state_->alive = false; }
    void setEventHandler(Work handler) override { state_->handler = std::move(handler); }
    void schedule(double firstSeconds, double intervalSeconds, double /*leewaySeconds*/) override {
        state_->firstMicros = toMicros(firstSeconds);
        state_->intervalMicros = toMicros(intervalSeconds);
    }
    void resume() override { onResume_(); }

private:
    std::shared_ptr<ObjectCounts> counts_;
    std::shared_ptr<FakeMainQueue::SourceState> state_;
    std::function<void()> onResume_;
    Counted counted_;
};

}  // namespace

FakeMainQueue::FakeMainQueue(std::shared_ptr<ObjectCounts> counts) : counts_(std::move(counts)) {}

FakeMainQueue::~FakeMainQueue() = default;

void FakeMainQueue::enqueue(std::int64_t dueMicros, Work work) {
    const std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{dueMicros, nextSequence_++, std::move(work)});
}

void FakeMainQueue::async(Work work) {
    const std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{nowMicros_, nextSequence_++, std::move(work)});
}

std::shared_ptr<WorkItem> FakeMainQueue::makeWorkItem(Work work) {
    return std::make_shared<FakeWorkItem>(counts_, std::move(work));
}

void FakeMainQueue::asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) {
    auto fakeItem = std::dynamic_pointer_cast<FakeWorkItem>(std::move(item));
    const std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{nowMicros_ + toMicros(delaySeconds), nextSequence_++,
                             [fakeItem = std::move(fakeItem)] { fakeItem->perform(); }});
}

std::unique_ptr<Source> FakeMainQueue::makeSignalSource(int signalNumber) {
    auto state = std::make_shared<SourceState>();
    state->isSignal = true;
    state->signalNumber = signalNumber;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        signalSources_.push_back(state);
    }
    std::weak_ptr<SourceState> weakState = state;
    auto onResume = [this, weakState] {
        const auto s = weakState.lock();
        if (!s || s->resumed) return;
        s->resumed = true;
        if (s->signalPending) {
            s->signalPending = false;
            async([s] {
                if (s->alive && s->handler) s->handler();
            });
        }
    };
    return std::make_unique<FakeSignalSource>(counts_, state, onResume);
}

void FakeMainQueue::scheduleTimerTick(const std::shared_ptr<SourceState>& state, std::int64_t dueMicros) {
    enqueue(dueMicros, [this, state, dueMicros] {
        if (!state->alive) return;
        // The next tick is due one interval after this one, whatever the
        // handler does.
        if (state->intervalMicros > 0) scheduleTimerTick(state, dueMicros + state->intervalMicros);
        if (state->handler) {
            const Work handler = state->handler;
            handler();
        }
    });
}

std::unique_ptr<TimerSource> FakeMainQueue::makeTimerSource() {
    auto state = std::make_shared<SourceState>();
    std::weak_ptr<SourceState> weakState = state;
    auto onResume = [this, weakState] {
        const auto s = weakState.lock();
        if (!s || s->resumed) return;
        s->resumed = true;
        if (!s->firstMicros) return;  // never scheduled: never fires
        std::int64_t now;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            now = nowMicros_;
        }
        scheduleTimerTick(s, now + *s->firstMicros);
    };
    return std::make_unique<FakeTimerSource>(counts_, state, onResume);
}

void FakeMainQueue::runForever() { throw RunForeverCalled{}; }

double FakeMainQueue::now() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<double>(nowMicros_) / 1e6;
}

int FakeMainQueue::runUntil(std::int64_t targetMicros) {
    int ran = 0;
    for (;;) {
        Work work;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            auto next = entries_.end();
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->dueMicros > targetMicros) continue;
                if (next == entries_.end() || it->dueMicros < next->dueMicros ||
                    (it->dueMicros == next->dueMicros && it->sequence < next->sequence)) {
                    next = it;
                }
            }
            if (next == entries_.end()) {
                nowMicros_ = std::max(nowMicros_, targetMicros);
                return ran;
            }
            nowMicros_ = std::max(nowMicros_, next->dueMicros);
            work = std::move(next->work);
            entries_.erase(next);
        }
        // Runs without the lock: the work may submit more work, or end the
        // (fake) process by throwing.
        work();
        ++ran;
    }
}

int FakeMainQueue::runDue() {
    std::int64_t now;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        now = nowMicros_;
    }
    return runUntil(now);
}

int FakeMainQueue::advance(double seconds) {
    std::int64_t target;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        target = nowMicros_ + toMicros(seconds);
    }
    return runUntil(target);
}

std::size_t FakeMainQueue::pendingCount() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void FakeMainQueue::deliverSignal(int signalNumber) {
    std::vector<std::shared_ptr<SourceState>> sources;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& weak : signalSources_) {
            if (auto s = weak.lock(); s && s->alive && s->signalNumber == signalNumber) sources.push_back(s);
        }
    }
    for (const auto& s : sources) {
        if (!s->resumed) {
            s->signalPending = true;
            continue;
        }
        async([s] {
            if (s->alive && s->handler) s->handler();
        });
    }
}

// ---------------------------------------------------------------------------
// Speech and audio.

FakeRecognitionRequest::FakeRecognitionRequest(std::shared_ptr<ObjectCounts> counts,
                                               std::weak_ptr<FakeSpeechServices> services, int number)
    : number(number), counts_(std::move(counts)), services_(std::move(services)),
      counted_(counts_->recognitionRequests) {}

void FakeRecognitionRequest::appendAudio(const AudioBuffer& /*buffer*/) {
    ++appendedBuffers;
    ++counts_->buffersAppended;
    if (endAudioCalls.load() > 0) ++appendedAfterEnd;
}

void FakeRecognitionRequest::endAudio() {
    ++endAudioCalls;
    if (auto services = services_.lock()) services->log("endAudio " + std::to_string(number));
}

FakeRecognitionTask::FakeRecognitionTask(std::shared_ptr<ObjectCounts> counts,
                                         std::weak_ptr<FakeSpeechServices> services, int number,
                                         std::shared_ptr<RecognitionRequest> request, ResultHandler handler,
                                         std::string localeIdentifier)
    : number(number), request(std::move(request)), localeIdentifier(std::move(localeIdentifier)),
      handler_(std::move(handler)), counts_(std::move(counts)), services_(std::move(services)),
      counted_(counts_->recognitionTasks) {}

void FakeRecognitionTask::cancel() {
    ++cancelCalls;
    if (auto services = services_.lock()) services->log("cancel " + std::to_string(number));
}

void FakeRecognitionTask::deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
    // A copy: the handler may release this task.
    const ResultHandler handler = handler_;
    handler(result, error);
}

FakeRecognizer::FakeRecognizer(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                               ScriptedRecognizer script, std::string requestedLocale)
    : requestedLocale(std::move(requestedLocale)), counts_(std::move(counts)), services_(std::move(services)),
      script_(std::move(script)), counted_(counts_->recognizers) {}

bool FakeRecognizer::isAvailable() {
    if (auto services = services_.lock()) services->log("isAvailable " + requestedLocale);
    return script_.available;
}

bool FakeRecognizer::supportsOnDeviceRecognition() {
    if (auto services = services_.lock()) services->log("onDevice " + requestedLocale);
    return script_.onDevice;
}

std::string FakeRecognizer::localeIdentifier() {
    return script_.localeIdentifier.empty() ? requestedLocale : script_.localeIdentifier;
}

std::shared_ptr<RecognitionTask> FakeRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                                 ResultHandler handler) {
    auto services = services_.lock();
    const int number = services ? services->tasksMade() + 1 : 0;
    auto task = std::make_shared<FakeRecognitionTask>(counts_, services_, number, std::move(request),
                                                      std::move(handler), localeIdentifier());
    if (services) services->taskMade(task);
    return task;
}

FakeAudioEngine::FakeAudioEngine(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                                 std::shared_ptr<MainQueue> mainQueue)
    : counts_(std::move(counts)), services_(std::move(services)), counted_(counts_->audioEngines) {
    if (!mainQueue) return;
    // What the platform's engine does after a configuration change: the tap
    // again, with the input's current format, then prepare and start.
    recovery_ = std::make_unique<EngineRecovery>(std::move(mainQueue), [this] {
        if (!started_) return true;
        TapBlock block;
        std::uint32_t bufferSize = 0;
        {
            const std::lock_guard<std::mutex> lock(tapMutex_);
            if (!tap_) return true;
            block = tap_;
            bufferSize = tapBufferSize_.value_or(0);
        }
        removeTap(0);
        installTap(0, bufferSize, inputFormat(0), std::move(block));
        prepare();
        log("start");
        auto services = services_.lock();
        if (!services || services->takeEngineStartFailure()) return false;
        running_ = true;
        return true;
    });
}

void FakeAudioEngine::configurationChange(AudioFormat format) {
    if (auto services = services_.lock()) services->setInputFormat(format);
    running_ = false;
    log("configurationChange");
    if (recovery_) recovery_->engineStopped();
}

void FakeAudioEngine::log(const std::string& event) {
    if (auto services = services_.lock()) services->log(event);
}

AudioFormat FakeAudioEngine::inputFormat(int /*bus*/) {
    auto services = services_.lock();
    return services ? services->inputFormat() : AudioFormat{};
}

void FakeAudioEngine::installTap(int /*bus*/, std::uint32_t bufferSize, AudioFormat format, TapBlock block) {
    {
        const std::lock_guard<std::mutex> lock(tapMutex_);
        tap_ = std::move(block);
        tapBufferSize_ = bufferSize;
        tapFormat_ = format;
        ++tapInstallCount_;
    }
    log("installTap");
}

void FakeAudioEngine::removeTap(int /*bus*/) {
    TapBlock old;
    {
        const std::lock_guard<std::mutex> lock(tapMutex_);
        old = std::move(tap_);
        tap_ = nullptr;
        ++tapRemoveCount_;
    }
    log("removeTap");
}

void FakeAudioEngine::prepare() { log("prepare"); }

bool FakeAudioEngine::start() {
    log("start");
    auto services = services_.lock();
    if (!services || services->takeEngineStartFailure()) return false;
    running_ = true;
    started_ = true;
    return true;
}

void FakeAudioEngine::stop() {
    log("stop");
    running_ = false;
    started_ = false;
    if (recovery_) recovery_->cancel();
}

bool FakeAudioEngine::capture() {
    const FakeAudioBuffer buffer(counts_);
    const std::lock_guard<std::mutex> lock(tapMutex_);
    if (!tap_) return false;
    tap_(buffer);
    return true;
}

bool FakeAudioEngine::tapInstalled() const {
    const std::lock_guard<std::mutex> lock(tapMutex_);
    return static_cast<bool>(tap_);
}

std::optional<std::uint32_t> FakeAudioEngine::tapBufferSize() const {
    const std::lock_guard<std::mutex> lock(tapMutex_);
    return tapBufferSize_;
}

std::optional<AudioFormat> FakeAudioEngine::tapFormat() const {
    const std::lock_guard<std::mutex> lock(tapMutex_);
    return tapFormat_;
}

int FakeAudioEngine::tapInstallCount() const {
    const std::lock_guard<std::mutex> lock(tapMutex_);
    return tapInstallCount_;
}

int FakeAudioEngine::tapRemoveCount() const {
    const std::lock_guard<std::mutex> lock(tapMutex_);
    return tapRemoveCount_;
}

FakeSpeechServices::FakeSpeechServices(std::shared_ptr<ObjectCounts> counts) : counts(std::move(counts)) {}

int FakeSpeechServices::microphoneAuthorizationStatus() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return microphoneStatus_;
}

void FakeSpeechServices::requestMicrophoneAccess(std::function<void(bool granted)> handler) {
    bool granted;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++microphoneRequests_;
        if (microphoneMode_ == AnswerMode::later) {
            pendingMicrophone_ = std::move(handler);
            return;
        }
        granted = microphoneGranted_;
    }
    handler(granted);
}

void FakeSpeechServices::requestSpeechAuthorization(std::function<void(int status)> handler) {
    int status;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++speechRequests_;
        if (speechMode_ == AnswerMode::later) {
            pendingSpeech_ = std::move(handler);
            return;
        }
        status = speechStatus_;
    }
    handler(status);
}

std::shared_ptr<Recognizer> FakeSpeechServices::makeRecognizer(const std::string& localeIdentifier) {
    std::optional<ScriptedRecognizer> script;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        localesAsked_.push_back(localeIdentifier);
        events_.push_back("recognizer " + localeIdentifier);
        if (auto it = recognizers_.find(localeIdentifier); it != recognizers_.end()) script = it->second;
    }
    if (!script) return nullptr;
    return std::make_shared<FakeRecognizer>(counts, weak_from_this(), *script, localeIdentifier);
}

std::shared_ptr<AudioEngine> FakeSpeechServices::makeAudioEngine() {
    std::shared_ptr<MainQueue> mainQueue;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        mainQueue = mainQueue_;
    }
    auto engine = std::make_shared<FakeAudioEngine>(counts, weak_from_this(), std::move(mainQueue));
    const std::lock_guard<std::mutex> lock(mutex_);
    engine_ = engine;
    return engine;
}

std::shared_ptr<RecognitionRequest> FakeSpeechServices::makeRecognitionRequest() {
    int number;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        number = ++requestsMade_;
        events_.push_back("request " + std::to_string(number));
    }
    auto request = std::make_shared<FakeRecognitionRequest>(counts, weak_from_this(), number);
    const std::lock_guard<std::mutex> lock(mutex_);
    lastRequest_ = request;
    return request;
}

void FakeSpeechServices::taskMade(const std::shared_ptr<FakeRecognitionTask>& task) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++tasksMade_;
    events_.push_back("task " + std::to_string(task->number));
    lastTask_ = task;
}

void FakeSpeechServices::setRecognizer(const std::string& locale, ScriptedRecognizer script) {
    const std::lock_guard<std::mutex> lock(mutex_);
    recognizers_[locale] = std::move(script);
}

void FakeSpeechServices::setInputFormat(AudioFormat format) {
    const std::lock_guard<std::mutex> lock(mutex_);
    inputFormat_ = format;
}

void FakeSpeechServices::setEngineStartFails(bool fails) {
    const std::lock_guard<std::mutex> lock(mutex_);
    engineStartFails_ = fails;
}

void FakeSpeechServices::setEngineStartFailures(int count) {
    const std::lock_guard<std::mutex> lock(mutex_);
    engineStartFailures_ = count;
}

void FakeSpeechServices::setMainQueue(std::shared_ptr<MainQueue> mainQueue) {
    const std::lock_guard<std::mutex> lock(mutex_);
    mainQueue_ = std::move(mainQueue);
}

void FakeSpeechServices::setMicrophoneStatus(int status) {
    const std::lock_guard<std::mutex> lock(mutex_);
    microphoneStatus_ = status;
}

void FakeSpeechServices::setMicrophoneAnswer(bool granted, AnswerMode mode) {
    const std::lock_guard<std::mutex> lock(mutex_);
    microphoneGranted_ = granted;
    microphoneMode_ = mode;
}

void FakeSpeechServices::setSpeechAnswer(int status, AnswerMode mode) {
    const std::lock_guard<std::mutex> lock(mutex_);
    speechStatus_ = status;
    speechMode_ = mode;
}

bool FakeSpeechServices::microphoneAnswerPending() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<bool>(pendingMicrophone_);
}

bool FakeSpeechServices::speechAnswerPending() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<bool>(pendingSpeech_);
}

namespace {

void callOn(bool onAnotherThread, const std::function<void()>& call) {
    if (!onAnotherThread) {
        call();
        return;
    }
    std::thread thread(call);
    thread.join();
}

}  // namespace

void FakeSpeechServices::answerMicrophone(bool onAnotherThread) {
    std::function<void(bool)> handler;
    bool granted;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        handler = std::move(pendingMicrophone_);
        pendingMicrophone_ = nullptr;
        granted = microphoneGranted_;
    }
    if (!handler) return;
    callOn(onAnotherThread, [&] { handler(granted); });
}

void FakeSpeechServices::answerSpeech(bool onAnotherThread) {
    std::function<void(int)> handler;
    int status;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        handler = std::move(pendingSpeech_);
        pendingSpeech_ = nullptr;
        status = speechStatus_;
    }
    if (!handler) return;
    callOn(onAnotherThread, [&] { handler(status); });
}

std::vector<std::string> FakeSpeechServices::recognizerLocalesAsked() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return localesAsked_;
}

int FakeSpeechServices::microphoneRequests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return microphoneRequests_;
}

int FakeSpeechServices::speechRequests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return speechRequests_;
}

std::vector<std::string> FakeSpeechServices::events() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void FakeSpeechServices::clearEvents() {
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

void FakeSpeechServices::log(const std::string& event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::shared_ptr<FakeAudioEngine> FakeSpeechServices::engine() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return engine_.lock();
}

std::shared_ptr<FakeRecognitionTask> FakeSpeechServices::lastTask() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastTask_.lock();
}

std::shared_ptr<FakeRecognitionRequest> FakeSpeechServices::lastRequest() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastRequest_.lock();
}

int FakeSpeechServices::tasksMade() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return tasksMade_;
}

int FakeSpeechServices::requestsMade() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requestsMade_;
}

AudioFormat FakeSpeechServices::inputFormat() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return inputFormat_;
}

bool FakeSpeechServices::takeEngineStartFailure() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (engineStartFailures_ > 0) {
        --engineStartFailures_;
        return true;
    }
    return engineStartFails_;
}

// ---------------------------------------------------------------------------
// Process services.

void FakeProcessServices::ignoreSignal(int signalNumber) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ignoredSignals_.insert(signalNumber);
}

bool FakeProcessServices::fileExists(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++fileChecks_;
    return !path.empty() && files_.count(path) > 0;
}

void FakeProcessServices::exitProcess(int status) { throw ProcessExit{status}; }

void FakeProcessServices::watchHost(std::function<void()> onGone) {
    const std::lock_guard<std::mutex> lock(mutex_);
    onHostGone_ = std::move(onGone);
}

bool FakeProcessServices::hostGone() {
    std::function<void()> onGone;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        onGone = std::move(onHostGone_);
        onHostGone_ = nullptr;
    }
    if (!onGone) return false;
    onGone();
    return true;
}

void FakeProcessServices::createFile(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    files_.insert(path);
}

void FakeProcessServices::removeFile(const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    files_.erase(path);
}

std::set<int> FakeProcessServices::ignoredSignals() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return ignoredSignals_;
}

int FakeProcessServices::fileChecks() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fileChecks_;
}

// ---------------------------------------------------------------------------

FakePlatform::FakePlatform()
    : counts(std::make_shared<ObjectCounts>()),
      mainQueue(std::make_shared<FakeMainQueue>(counts)),
      speech(std::make_shared<FakeSpeechServices>(counts)),
      process(std::make_shared<FakeProcessServices>()) {
    speech->setMainQueue(mainQueue);
}

}  // namespace hotword::platform::fake
