#pragma once

// Deterministic doubles of the listener's platform services, for tests:
// a main queue on a virtual clock, scripted recognizers and permission
// answers, injected recognition results, and counts of every platform object
// so that leaks show up.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../engine_recovery.h"
#include "../platform.h"

namespace hotword::platform::fake {

// How many objects of one kind were made and destroyed. Thread-safe.
struct ObjectCount {
    std::atomic<long> created{0};
    std::atomic<long> destroyed{0};
    long live() const { return created.load() - destroyed.load(); }
};

// Every kind of platform object the fake hands out.
struct ObjectCounts {
    ObjectCount recognizers;
    ObjectCount audioEngines;
    ObjectCount recognitionRequests;
    ObjectCount recognitionTasks;
    ObjectCount audioBuffers;
    ObjectCount workItems;
    ObjectCount signalSources;
    ObjectCount timerSources;
    // Buffers appended to any request, over all requests.
    std::atomic<long> buffersAppended{0};

    // Names of the kinds with objects still alive (empty when none leaked).
    std::vector<std::string> leaks() const;
};

// Counts one object for the whole of its life.
class Counted {
public:
    explicit Counted(ObjectCount& count) : count_(count) { ++count_.created; }
    ~Counted() { ++count_.destroyed; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

private:
    ObjectCount& count_;
};

// ---------------------------------------------------------------------------
// Main queue on a virtual clock.

// Thrown by FakeProcessServices::exitProcess, out of whatever ran it.
struct ProcessExit {
    int status;
};

// Thrown by FakeMainQueue::runForever: the fake has no loop of its own; the
// test drives the clock instead.
struct RunForeverCalled {};

class FakeMainQueue : public MainQueue {
public:
    explicit FakeMainQueue(std::shared_ptr<ObjectCounts> counts);
    ~FakeMainQueue() override;

    void async(Work work) override;  // any thread
    std::shared_ptr<WorkItem> makeWorkItem(Work work) override;
    void asyncAfter(double delaySeconds, std::shared_ptr<WorkItem> item) override;
    std::unique_ptr<Source> makeSignalSource(int signalNumber) override;
    std::unique_ptr<TimerSource> makeTimerSource() override;
    [[noreturn]] void runForever() override;

    // Virtual time in seconds since the queue was made.
    double now() const;
    // Runs everything due by now, in order (items submitted meanwhile for
    // now included). Returns how many items ran.
    int runDue();
    // Moves the clock forward, running every item when it falls due, in
    // deadline order (submission order for equal deadlines).
    int advance(double seconds);
    // Items submitted and not yet run or dropped (cancelled items included
    // until their deadline).
    std::size_t pendingCount() const;

    // The signal arrives: the handler of each resumed source for it is
    // queued (a suspended source runs it on resume).
    void deliverSignal(int signalNumber);

    struct SourceState;

private:
    struct Entry {
        std::int64_t dueMicros;
        std::uint64_t sequence;
        Work work;
    };
    void enqueue(std::int64_t dueMicros, Work work);
    void scheduleTimerTick(const std::shared_ptr<SourceState>& state, std::int64_t dueMicros);
    int runUntil(std::int64_t targetMicros);

    std::shared_ptr<ObjectCounts> counts_;
    mutable std::mutex mutex_;
    std::int64_t nowMicros_ = 0;
    std::uint64_t nextSequence_ = 0;
    std::vector<Entry> entries_;
    std::vector<std::weak_ptr<SourceState>> signalSources_;
};

// ---------------------------------------------------------------------------
// Speech and audio.

struct ScriptedRecognizer {
    bool available = true;
    bool onDevice = true;
    // The identifier the recognizer reports for its own locale; empty: the
    // locale it was asked for.
    std::string localeIdentifier;
};

class FakeSpeechServices;

class FakeAudioBuffer : public AudioBuffer {
public:
    explicit FakeAudioBuffer(std::shared_ptr<ObjectCounts> counts)
        : counts_(std::move(counts)), counted_(counts_->audioBuffers) {}

private:
    std::shared_ptr<ObjectCounts> counts_;
    Counted counted_;
};

class FakeRecognitionRequest : public RecognitionRequest {
public:
    FakeRecognitionRequest(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                           int number);
    void setShouldReportPartialResults(bool value) override { partialResults = value; }
    void setRequiresOnDeviceRecognition(bool value) override { onDevice = value; }
    void setTaskHint(int hint) override { taskHint = hint; }
    void setContextualStrings(const std::vector<std::string>& strings) override { contextualStrings = strings; }
    void appendAudio(const AudioBuffer& buffer) override;
    void endAudio() override;

    const int number;  // 1 for the first request made, and so on
    std::optional<bool> partialResults;
    std::optional<bool> onDevice;
    std::optional<int> taskHint;
    std::optional<std::vector<std::string>> contextualStrings;
    std::atomic<long> appendedBuffers{0};
    std::atomic<long> appendedAfterEnd{0};
    std::atomic<int> endAudioCalls{0};

private:
    std::shared_ptr<ObjectCounts> counts_;
    std::weak_ptr<FakeSpeechServices> services_;
    Counted counted_;
};

class FakeRecognitionTask : public RecognitionTask {
public:
    FakeRecognitionTask(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                        int number, std::shared_ptr<RecognitionRequest> request, ResultHandler handler,
                        std::string localeIdentifier);
    void cancel() override;

    // Calls the result handler as the platform would on the main queue; the
    // test plays the main queue. Also works after cancel().
    void deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error = std::nullopt);
    void deliverPartial(const std::string& text) { deliver(RecognitionResult{text, false}); }
    void deliverFinal(const std::string& text) { deliver(RecognitionResult{text, true}); }
    void deliverError(const std::string& description = "recognition failed") {
        deliver(std::nullopt, RecognitionError{description});
    }

    const int number;  // 1 for the first task made, and so on
    const std::shared_ptr<RecognitionRequest> request;
    const std::string localeIdentifier;  // of the recognizer that made it
    int cancelCalls = 0;

private:
    ResultHandler handler_;
    std::shared_ptr<ObjectCounts> counts_;
    std::weak_ptr<FakeSpeechServices> services_;
    Counted counted_;
};

class FakeRecognizer : public Recognizer {
public:
    FakeRecognizer(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                   ScriptedRecognizer script, std::string requestedLocale);
    bool isAvailable() override;
    bool supportsOnDeviceRecognition() override;
    std::string localeIdentifier() override;
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override;

    const std::string requestedLocale;

private:
    std::shared_ptr<ObjectCounts> counts_;
    std::weak_ptr<FakeSpeechServices> services_;
    ScriptedRecognizer script_;
    Counted counted_;
};

// An audio engine that, like the platform's, may stop by itself when the input
// device or its configuration changes; it then comes back by itself on the
// main queue, with the input's new format (EngineRecovery).
class FakeAudioEngine : public AudioEngine {
public:
    FakeAudioEngine(std::shared_ptr<ObjectCounts> counts, std::weak_ptr<FakeSpeechServices> services,
                    std::shared_ptr<MainQueue> mainQueue);
    AudioFormat inputFormat(int bus) override;
    void installTap(int bus, std::uint32_t bufferSize, AudioFormat format, TapBlock block) override;
    void removeTap(int bus) override;
    void prepare() override;
    bool start() override;
    bool isRunning() override { return running_.load(); }
    void stop() override;

    // One captured buffer, from any thread: calls the tap block if a tap is
    // installed. Returns whether it did.
    bool capture();

    // The input device changed to one of this format, from any thread: the
    // engine stops by itself and its recovery begins.
    void configurationChange(AudioFormat format);
    bool recovering() const { return recovery_ && recovery_->recovering(); }

    bool tapInstalled() const;
    std::optional<std::uint32_t> tapBufferSize() const;
    std::optional<AudioFormat> tapFormat() const;
    int tapInstallCount() const;
    int tapRemoveCount() const;

private:
    void log(const std::string& event);

    std::shared_ptr<ObjectCounts> counts_;
    std::weak_ptr<FakeSpeechServices> services_;
    // Held while the tap block runs, so that after removeTap() returns the
    // block is not called any more.
    mutable std::mutex tapMutex_;
    TapBlock tap_;
    std::optional<std::uint32_t> tapBufferSize_;
    std::optional<AudioFormat> tapFormat_;
    int tapInstallCount_ = 0;
    int tapRemoveCount_ = 0;
    std::atomic<bool> running_{false};
    bool started_ = false;  // main queue: start() succeeded and stop() has not run since
    std::unique_ptr<EngineRecovery> recovery_;
    Counted counted_;
};

// How a permission request is answered.
enum class AnswerMode {
    immediately,  // on the caller's thread, before the request returns
    later,        // kept until the test answers (see answerMicrophone...)
};

class FakeSpeechServices : public SpeechServices, public std::enable_shared_from_this<FakeSpeechServices> {
public:
    explicit FakeSpeechServices(std::shared_ptr<ObjectCounts> counts);

    int microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> handler) override;
    void requestSpeechAuthorization(std::function<void(int status)> handler) override;
    std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier) override;
    std::shared_ptr<AudioEngine> makeAudioEngine() override;
    std::shared_ptr<RecognitionRequest> makeRecognitionRequest() override;

    // --- Script (set before the listener asks) ---
    // Locales with a recognizer; any other locale has none.
    void setRecognizer(const std::string& locale, ScriptedRecognizer script);
    void setInputFormat(AudioFormat format);
    void setEngineStartFails(bool fails);
    // The next `count` starts of the engine fail, then starts succeed again.
    void setEngineStartFailures(int count);
    void setMainQueue(std::shared_ptr<MainQueue> mainQueue);
    void setMicrophoneStatus(int status);
    // What the user answers when asked for the microphone, and when.
    void setMicrophoneAnswer(bool granted, AnswerMode mode);
    // The speech authorization status handed back, and when.
    void setSpeechAnswer(int status, AnswerMode mode);

    // --- Answers kept for later ---
    bool microphoneAnswerPending() const;
    bool speechAnswerPending() const;
    // Answers on the calling thread, or on a new thread that is joined
    // before this returns.
    void answerMicrophone(bool onAnotherThread = false);
    void answerSpeech(bool onAnotherThread = false);

    // --- What the listener did ---
    std::vector<std::string> recognizerLocalesAsked() const;
    int microphoneRequests() const;
    int speechRequests() const;
    // Events in order: "recognizer <locale>", "isAvailable <locale>",
    // "onDevice <locale>", "installTap", "prepare", "start", "stop",
    // "removeTap", "request <n>", "task <n>", "cancel <n>", "endAudio <n>".
    std::vector<std::string> events() const;
    void clearEvents();
    void log(const std::string& event);

    // The most recent objects handed out, if still alive.
    std::shared_ptr<FakeAudioEngine> engine() const;
    std::shared_ptr<FakeRecognitionTask> lastTask() const;
    std::shared_ptr<FakeRecognitionRequest> lastRequest() const;
    int tasksMade() const;
    int requestsMade() const;

    AudioFormat inputFormat() const;
    // Whether this start fails (uses up one of the failures set).
    bool takeEngineStartFailure();
    void taskMade(const std::shared_ptr<FakeRecognitionTask>& task);

    const std::shared_ptr<ObjectCounts> counts;

private:
    mutable std::mutex mutex_;
    std::map<std::string, ScriptedRecognizer> recognizers_;
    AudioFormat inputFormat_{48000, 1};
    bool engineStartFails_ = false;
    int engineStartFailures_ = 0;
    std::shared_ptr<MainQueue> mainQueue_;
    int microphoneStatus_ = authorizationAuthorized;
    bool microphoneGranted_ = true;
    AnswerMode microphoneMode_ = AnswerMode::immediately;
    int speechStatus_ = authorizationAuthorized;
    AnswerMode speechMode_ = AnswerMode::immediately;
    std::function<void(bool)> pendingMicrophone_;
    std::function<void(int)> pendingSpeech_;
    std::vector<std::string> localesAsked_;
    int microphoneRequests_ = 0;
    int speechRequests_ = 0;
    std::vector<std::string> events_;
    std::weak_ptr<FakeAudioEngine> engine_;
    std::weak_ptr<FakeRecognitionTask> lastTask_;
    std::weak_ptr<FakeRecognitionRequest> lastRequest_;
    int tasksMade_ = 0;
    int requestsMade_ = 0;
};

// ---------------------------------------------------------------------------
// Process services.

class FakeProcessServices : public ProcessServices {
public:
    std::int32_t processIdentifier() override { return pid; }
    void ignoreSignal(int signalNumber) override;
    bool fileExists(const std::string& path) override;
    void watchHost(std::function<void()> onGone) override;
    [[noreturn]] void exitProcess(int status) override;

    // The host goes: calls the watch's callback on the calling thread, as
    // the watch's own thread would. False when nothing watches.
    bool hostGone();

    // Something exists at the path from now on / no longer.
    void createFile(const std::string& path);
    void removeFile(const std::string& path);

    std::set<int> ignoredSignals() const;
    int fileChecks() const;

    std::int32_t pid = 4242;

private:
    mutable std::mutex mutex_;
    std::set<std::string> files_;
    std::set<int> ignoredSignals_;
    std::function<void()> onHostGone_;
    int fileChecks_ = 0;
};

// ---------------------------------------------------------------------------

// One fake backend: the three services sharing one set of counts.
struct FakePlatform {
    FakePlatform();
    Platform platform() const { return Platform{mainQueue, speech, process}; }

    std::shared_ptr<ObjectCounts> counts;
    std::shared_ptr<FakeMainQueue> mainQueue;
    std::shared_ptr<FakeSpeechServices> speech;
    std::shared_ptr<FakeProcessServices> process;
};

}  // namespace hotword::platform::fake
