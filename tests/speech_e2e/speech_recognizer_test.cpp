// The PocketSphinx recognizer, request and task with the installed model but
// no sound server: delivery on the main queue, final results, cancel, and the
// decoder thread's life.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "pcm_buffer.h"
#include "pocketsphinx_recognizer.h"
#include "pocketsphinx_speech_services.h"

namespace hotword::speech {
namespace {

using namespace std::chrono_literals;

// A main queue the test serves itself.
class TestQueue : public platform::MainQueue {
public:
    void async(platform::Work work) override {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
        ready_.notify_all();
    }
    std::shared_ptr<platform::WorkItem> makeWorkItem(platform::Work) override { return nullptr; }
    void asyncAfter(double, std::shared_ptr<platform::WorkItem>) override {}
    std::unique_ptr<platform::Source> makeSignalSource(int) override { return nullptr; }
    std::unique_ptr<platform::TimerSource> makeTimerSource() override { return nullptr; }
    [[noreturn]] void runForever() override { std::abort(); }

    // Runs queued work on this thread until `done` holds or the time is up.
    bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            platform::Work work;
            {
                std::unique_lock lock(mutex_);
                if (!ready_.wait_until(lock, deadline, [&] { return !work_.empty(); })) return done();
                work = std::move(work_.front());
                work_.pop_front();
            }
            work();
        }
        return true;
    }
    void serveFor(std::chrono::milliseconds time) {
        serveUntil([] { return false; }, time);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<platform::Work> work_;
};

struct Delivery {
    std::optional<platform::RecognitionResult> result;
    std::optional<platform::RecognitionError> error;
};

PcmBuffer noise(double rate, std::uint32_t channels, std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> sample(0.0f, 0.003f);
    std::vector<float> samples(frames * channels);
    for (auto& s : samples) s = sample(random);
    return PcmBuffer({rate, channels}, std::move(samples));
}

class RecognizerTest : public testing::Test {
protected:
    std::shared_ptr<TestQueue> queue = std::make_shared<TestQueue>();
    std::shared_ptr<platform::SpeechServices> services =
        makePocketSphinxSpeechServices(queue, installedModelRoot());

    std::shared_ptr<platform::RecognitionRequest> request() {
        auto r = services->makeRecognitionRequest();
        r->setShouldReportPartialResults(true);
        r->setRequiresOnDeviceRecognition(true);
        r->setTaskHint(platform::taskHintConfirmation);
        r->setContextualStrings({"Hey Orvane", "Hey OrvaneX"});
        return r;
    }

    platform::ResultHandler recordInto(std::vector<Delivery>& deliveries) {
        return [&deliveries](const auto& result, const auto& error) { deliveries.push_back({result, error}); };
    }
};

TEST_F(RecognizerTest, OneRecognizerPerInstalledModel) {
    for (const char* locale : {"en-US", "en-us", "en_US"}) {
        auto recognizer = services->makeRecognizer(locale);
        ASSERT_TRUE(recognizer) << locale;
        EXPECT_TRUE(recognizer->isAvailable());
        EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
        EXPECT_EQ(recognizer->localeIdentifier(), "en-US");
    }
    for (const char* locale : {"en-IN", "", "fr-FR", "../en-us", "en-us/en-us"}) {
        EXPECT_FALSE(services->makeRecognizer(locale)) << locale;
    }
}

TEST_F(RecognizerTest, PermissionsReadAsGranted) {
    EXPECT_EQ(services->microphoneAuthorizationStatus(), platform::authorizationAuthorized);
    std::optional<bool> microphone;
    services->requestMicrophoneAccess([&](bool granted) { microphone = granted; });
    EXPECT_EQ(microphone, true);
    std::optional<int> speech;
    services->requestSpeechAuthorization([&](int status) { speech = status; });
    EXPECT_EQ(speech, platform::authorizationAuthorized);
}

TEST_F(RecognizerTest, EndAudioEndsTheTaskWithOneFinalResultOnTheMainQueue) {
    auto recognizer = services->makeRecognizer("en-US");
    ASSERT_TRUE(recognizer);
    auto r = request();
    std::vector<Delivery> deliveries;
    const auto mainThread = std::this_thread::get_id();
    std::thread::id handlerThread;
    auto task = recognizer->recognitionTask(r, [&](const auto& result, const auto& error) {
        handlerThread = std::this_thread::get_id();
        deliveries.push_back({result, error});
    });
    // Half a second of 48 kHz stereo from another thread, in 1024-frame buffers.
    std::thread capture([&] {
        for (unsigned i = 0; i < 24; ++i) r->appendAudio(noise(48000, 2, 1024, i));
        r->endAudio();
        r->appendAudio(noise(48000, 2, 1024, 99));  // harmless after the end
    });
    capture.join();
    ASSERT_TRUE(queue->serveUntil([&] { return !deliveries.empty(); }, 30s));
    queue->serveFor(300ms);
    ASSERT_EQ(deliveries.size(), 1u);
    ASSERT_TRUE(deliveries[0].result);
    EXPECT_TRUE(deliveries[0].result->isFinal);
    EXPECT_FALSE(deliveries[0].error);
    EXPECT_EQ(handlerThread, mainThread);
}

TEST_F(RecognizerTest, CancelledTaskDeliversNothing) {
    auto recognizer = services->makeRecognizer("en-US");
    ASSERT_TRUE(recognizer);
    auto r = request();
    std::vector<Delivery> deliveries;
    auto task = recognizer->recognitionTask(r, recordInto(deliveries));
    for (unsigned i = 0; i < 8; ++i) r->appendAudio(noise(16000, 1, 1024, i));
    task->cancel();
    r->endAudio();
    queue->serveFor(500ms);
    EXPECT_TRUE(deliveries.empty());

    // The decoder goes on with the next task.
    auto next = request();
    std::vector<Delivery> nextDeliveries;
    auto nextTask = recognizer->recognitionTask(next, recordInto(nextDeliveries));
    next->endAudio();
    ASSERT_TRUE(queue->serveUntil([&] { return !nextDeliveries.empty(); }, 30s));
    EXPECT_TRUE(nextDeliveries[0].result && nextDeliveries[0].result->isFinal);
}

TEST_F(RecognizerTest, SessionsReplacedWhileAudioFlows) {
    auto recognizer = services->makeRecognizer("en-US");
    ASSERT_TRUE(recognizer);
    std::mutex current;
    std::shared_ptr<platform::RecognitionRequest> feeding;
    std::atomic<bool> capturing{true};
    std::thread capture([&] {
        for (unsigned i = 0; capturing; ++i) {
            std::shared_ptr<platform::RecognitionRequest> r;
            {
                std::lock_guard lock(current);
                r = feeding;
            }
            if (r) r->appendAudio(noise(44100, 1, 1024, i));
            std::this_thread::sleep_for(2ms);
        }
    });
    // Each session is cancelled and its audio ended, as the listener does.
    std::vector<Delivery> deliveries;
    std::shared_ptr<platform::RecognitionTask> task;
    std::shared_ptr<platform::RecognitionRequest> last;
    for (int session = 0; session < 20; ++session) {
        if (task) task->cancel();
        if (last) last->endAudio();
        last = request();
        {
            std::lock_guard lock(current);
            feeding = last;
        }
        task = recognizer->recognitionTask(last, recordInto(deliveries));
        queue->serveFor(20ms);
    }
    task->cancel();
    last->endAudio();
    capturing = false;
    capture.join();
    queue->serveFor(300ms);
    EXPECT_TRUE(deliveries.empty());
}

TEST_F(RecognizerTest, RecognizerGoesWhileATaskWaitsForAudio) {
    std::vector<Delivery> deliveries;
    {
        auto recognizer = services->makeRecognizer("en-US");
        ASSERT_TRUE(recognizer);
        auto r = request();
        auto task = recognizer->recognitionTask(r, recordInto(deliveries));
        r->appendAudio(noise(16000, 1, 1024, 1));
        std::this_thread::sleep_for(50ms);
    }  // joins the decoder thread, which was waiting for audio
    queue->serveFor(100ms);
    EXPECT_TRUE(deliveries.empty());
}

// The capture stops in the middle of an utterance (the sound server went
// away) and no more audio comes: the utterance still ends, with a final
// result, so that the listener starts a new session.
TEST_F(RecognizerTest, AudioStoppingMidUtteranceEndsIt) {
    auto recognizer = services->makeRecognizer("en-US");
    ASSERT_TRUE(recognizer);
    auto r = request();
    std::vector<Delivery> deliveries;
    auto task = recognizer->recognitionTask(r, recordInto(deliveries));
    for (unsigned i = 0; i < 8; ++i) r->appendAudio(noise(16000, 1, 1024, i));
    // A loud voiced sound: harmonics of 140 Hz, cut off after half a second.
    for (unsigned i = 0; i < 8; ++i) {
        std::vector<float> samples(1024);
        for (std::size_t n = 0; n < samples.size(); ++n) {
            const double t = static_cast<double>(i * 1024 + n) / 16000.0;
            for (int harmonic = 1; harmonic <= 8; ++harmonic) {
                samples[n] += static_cast<float>(0.3 / harmonic * std::sin(2 * M_PI * 140 * harmonic * t));
            }
        }
        r->appendAudio(PcmBuffer({16000, 1}, std::move(samples)));
    }
    ASSERT_TRUE(queue->serveUntil(
        [&] { return !deliveries.empty() && deliveries.back().result && deliveries.back().result->isFinal; }, 30s));
    EXPECT_FALSE(deliveries.back().error);
    r->endAudio();
}

}  // namespace
}  // namespace hotword::speech
