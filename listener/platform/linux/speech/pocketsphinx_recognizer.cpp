#include "pocketsphinx_recognizer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "pcm_buffer.h"
#include "resampler.h"

namespace hotword::speech {

namespace {

using platform::AudioFormat;
using platform::RecognitionError;
using platform::RecognitionResult;

// An utterance with this much speech in it ends, so that a voice that never
// pauses still gets final results and the search stays small.
constexpr double longestUtteranceSeconds = 15;
// Audio waiting for the decoder beyond this is dropped, oldest first.
constexpr double longestBacklogSeconds = 10;
// Audio that stops for this long (the sound server or the source went away)
// ends an utterance in progress: what comes after the gap is not its sequel.
constexpr auto longestAudioGap = std::chrono::seconds(1);
// Partial results are looked at after this much new audio: every buffer of
// the usual 1024 frames. Two looks in a row must agree, so the time between
// them is what a wake waits for.
constexpr std::size_t partialResultSamples = 1024;  // 64 ms at 16 kHz

class Request final : public platform::RecognitionRequest {
public:
    void setShouldReportPartialResults(bool value) override { partialResults_ = value; }
    void setRequiresOnDeviceRecognition(bool) override {}  // recognition is always on the device
    void setTaskHint(int) override {}
    void setContextualStrings(const std::vector<std::string>& strings) override {
        std::lock_guard lock(mutex_);
        contextualStrings_ = strings;
    }

    void appendAudio(const platform::AudioBuffer& buffer) override {
        const auto* pcm = dynamic_cast<const PcmBuffer*>(&buffer);
        if (!pcm || pcm->format.sampleRate <= 0 || pcm->format.channelCount == 0) return;
        std::lock_guard lock(mutex_);
        if (ended_) return;
        backlog_.push_back(*pcm);
        backlogFrames_ += pcm->samples.size() / pcm->format.channelCount;
        while (backlog_.size() > 1 &&
               static_cast<double>(backlogFrames_) > longestBacklogSeconds * pcm->format.sampleRate) {
            backlogFrames_ -= backlog_.front().samples.size() / backlog_.front().format.channelCount;
            backlog_.pop_front();
        }
        ready_.notify_one();
    }

    void endAudio() override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        ready_.notify_one();
    }

    bool partialResults() const { return partialResults_; }
    std::vector<std::string> contextualStrings() const {
        std::lock_guard lock(mutex_);
        return contextualStrings_;
    }

    // Decoder side: waits for audio, at most `gap`. Nothing when the audio
    // has ended (and every buffer was taken), `interrupted` turns true or the
    // wait timed out (then `starved` is set).
    std::optional<PcmBuffer> next(const std::function<bool()>& interrupted, std::chrono::milliseconds gap,
                                  bool& starved) {
        std::unique_lock lock(mutex_);
        starved = !ready_.wait_for(lock, gap, [&] { return !backlog_.empty() || ended_ || interrupted(); });
        if (starved || interrupted() || backlog_.empty()) return std::nullopt;
        PcmBuffer buffer = std::move(backlog_.front());
        backlog_.pop_front();
        backlogFrames_ -= buffer.samples.size() / buffer.format.channelCount;
        return buffer;
    }

    // Decoder side: the audio not taken yet, without waiting.
    std::deque<PcmBuffer> takeRemaining() {
        std::lock_guard lock(mutex_);
        std::deque<PcmBuffer> remaining = std::move(backlog_);
        backlog_.clear();
        backlogFrames_ = 0;
        return remaining;
    }

    // Wakes a decoder waiting in next() so it looks at its interruption again.
    void wake() {
        std::lock_guard lock(mutex_);
        ready_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<PcmBuffer> backlog_;
    std::size_t backlogFrames_ = 0;
    bool ended_ = false;
    std::vector<std::string> contextualStrings_;
    std::atomic<bool> partialResults_{false};
};

// What a task shares with the decoder thread.
struct TaskState {
    std::shared_ptr<Request> request;
    platform::ResultHandler handler;
    std::shared_ptr<platform::MainQueue> mainQueue;
    std::atomic<bool> cancelled{false};

    // Hands a result or an error to the main queue, where it is dropped if the
    // task was cancelled in the meantime.
    void deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
        mainQueue->async([self = shared(), result = std::move(result), error = std::move(error)] {
            if (!self->cancelled.load()) self->handler(result, error);
        });
    }
    std::shared_ptr<TaskState> shared() { return self.lock(); }
    std::weak_ptr<TaskState> self;
};

class Task final : public platform::RecognitionTask {
public:
    explicit Task(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
    void cancel() override {
        state_->cancelled = true;
        state_->request->wake();
    }

private:
    std::shared_ptr<TaskState> state_;
};

// The decoder thread: runs the submitted tasks one after another.
class DecoderThread {
public:
    explicit DecoderThread(std::unique_ptr<Decoder> decoder)
        : decoder_(std::move(decoder)), thread_([this] { run(); }) {}

    ~DecoderThread() {
        std::shared_ptr<TaskState> current;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            current = current_;
            pending_.notify_all();
        }
        if (current) current->request->wake();
        thread_.join();
    }

    void submit(std::shared_ptr<TaskState> task) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        pending_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::shared_ptr<TaskState> task;
            {
                std::unique_lock lock(mutex_);
                pending_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
                if (stopping_) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
                current_ = task;
            }
            decode(*task);
            std::lock_guard lock(mutex_);
            current_.reset();
        }
    }

    bool interrupted(const TaskState& task) const { return task.cancelled.load() || stopping_.load(); }

    void decode(TaskState& task) {
        if (task.cancelled.load()) return;
        auto fail = [&](const char* description) {
            task.deliver(std::nullopt, RecognitionError{description});
        };
        if (!decoder_->useContextualStrings(task.request->contextualStrings())) {
            return fail("the language model of the contextual strings could not be built");
        }
        if (!decoder_->startUtterance()) return fail("the decoder could not start");

        std::optional<Resampler> resampler;
        AudioFormat format;
        std::vector<std::int16_t> samples;
        std::size_t samplesSinceHypothesis = 0;
        std::string lastHypothesis;
        std::string previousLook;
        bool heardSpeech = false;
        auto finish = [&] {
            task.deliver(RecognitionResult{decoder_->endUtterance(), true}, std::nullopt);
        };
        // The audio the previous session got after its utterance ended comes
        // first: the listener starts the next session a moment later, and
        // what was said in between (often the start of a wake phrase right
        // after other speech) would otherwise be lost.
        std::deque<PcmBuffer> carried;
        if (const auto previous = std::exchange(previous_, nullptr)) carried = previous->takeRemaining();
        for (;;) {
            bool starved = false;
            std::optional<PcmBuffer> buffer;
            if (!carried.empty()) {
                buffer = std::move(carried.front());
                carried.pop_front();
            } else {
                buffer = task.request->next([&] { return interrupted(task); }, longestAudioGap, starved);
            }
            if (interrupted(task)) {
                decoder_->endUtterance();
                return;
            }
            if (starved) {
                if (heardSpeech) return finish();
                continue;
            }
            if (!buffer) return finish();  // the audio has ended
            if (!resampler || buffer->format.sampleRate != format.sampleRate ||
                buffer->format.channelCount != format.channelCount) {
                format = buffer->format;
                resampler.emplace(format.sampleRate, format.channelCount);
            }
            samples.clear();
            resampler->process(buffer->samples, samples);
            if (!decoder_->process(samples)) {
                decoder_->endUtterance();
                return fail("the decoder failed");
            }
            samplesSinceHypothesis += samples.size();
            const bool speech = decoder_->inSpeech();
            if (speech) heardSpeech = true;
            if ((heardSpeech && !speech) ||  // voice activity stopped
                (speech && decoder_->speechSeconds() > longestUtteranceSeconds)) {
                previous_ = task.request;  // its further audio goes to the next session
                return finish();
            }
            // The wake-phrase model may hear the phrase once voice activity
            // has gone quiet: its score is looked at there too. A phrase the
            // model hears by itself is looked at at once.
            const bool modelHeard = decoder_->phraseHeardByModel();
            if (task.request->partialResults() &&
                (modelHeard || ((speech || decoder_->phraseLikely()) && samplesSinceHypothesis >= partialResultSamples))) {
                samplesSinceHypothesis = 0;
                std::string hypothesis = decoder_->hypothesis();
                // A partial result is reported once two looks in a row agree:
                // a word the search holds for a moment only is not reported.
                // The model's score is a look of its own.
                const bool held = modelHeard || hypothesis == previousLook;
                previousLook = hypothesis;
                if (held && !hypothesis.empty() && hypothesis != lastHypothesis) {
                    lastHypothesis = hypothesis;
                    task.deliver(RecognitionResult{std::move(hypothesis), false}, std::nullopt);
                }
            }
        }
    }

    std::unique_ptr<Decoder> decoder_;  // used on the decoder thread only
    // The request of a session that ended on the decoder's own account, whose
    // remaining audio the next session decodes first (decoder thread only).
    std::shared_ptr<Request> previous_;
    std::mutex mutex_;
    std::condition_variable pending_;
    std::deque<std::shared_ptr<TaskState>> tasks_;
    std::shared_ptr<TaskState> current_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class Recognizer final : public platform::Recognizer {
public:
    Recognizer(std::shared_ptr<platform::MainQueue> mainQueue, std::string identifier,
               std::unique_ptr<Decoder> decoder)
        : mainQueue_(std::move(mainQueue)), identifier_(std::move(identifier)) {
        if (decoder) thread_ = std::make_unique<DecoderThread>(std::move(decoder));
    }

    bool isAvailable() override { return thread_ != nullptr; }
    bool supportsOnDeviceRecognition() override { return true; }
    std::string localeIdentifier() override { return identifier_; }

    std::shared_ptr<platform::RecognitionTask> recognitionTask(std::shared_ptr<platform::RecognitionRequest> request,
                                                               platform::ResultHandler handler) override {
        auto state = std::make_shared<TaskState>();
        state->self = state;
        state->request = std::dynamic_pointer_cast<Request>(request);
        state->handler = std::move(handler);
        state->mainQueue = mainQueue_;
        if (!state->request) state->request = std::make_shared<Request>();
        if (!thread_ || !std::dynamic_pointer_cast<Request>(request)) {
            state->deliver(std::nullopt, RecognitionError{"the recognizer cannot take this request"});
        } else {
            thread_->submit(state);
        }
        return std::make_shared<Task>(state);
    }

private:
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::string identifier_;
    std::unique_ptr<DecoderThread> thread_;
};

}  // namespace

std::shared_ptr<platform::RecognitionRequest> makePocketSphinxRequest() { return std::make_shared<Request>(); }

std::shared_ptr<platform::Recognizer> makePocketSphinxRecognizer(std::shared_ptr<platform::MainQueue> mainQueue,
                                                                 const std::string& modelRoot,
                                                                 const std::string& localeIdentifier,
                                                                 const DecoderSettings& settings) {
    const auto model = findModel(modelRoot, localeIdentifier);
    if (!model) return nullptr;
    return std::make_shared<Recognizer>(std::move(mainQueue), model->identifier, Decoder::load(*model, settings));
}

}  // namespace hotword::speech
