#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_sink.h"
#include "platform/main_queue.h"
#include "platform/speech.h"

namespace hotword {

// Brand constants of the listener. Never instantiated.
struct BrandConfig {
    BrandConfig() = delete;
    static const std::vector<std::string> wakePhrases;
};

// The listener of hotword-agent: owns the audio engine, the chosen recognizer
// and the request and task of the current recognition session. Every
// operation runs on the main queue, except the tap callback, which runs on a
// capture thread and reads only `recognitionRequest`.
//
// Always held by a shared_ptr (see create()); every callback handed to a
// platform service holds it weakly and does nothing once it is gone.
class WakeWordListener : public std::enable_shared_from_this<WakeWordListener> {
    struct ConstructionKey {};

public:
    // The wake phrases, set up once on first use (thread-safe) and read-only
    // afterwards; also handed to each recognition request as contextual
    // strings.
    static const std::vector<std::string>& wakePhrases();

    // True when the transcript holds a wake phrase: a phrase's tokens occur
    // as a contiguous run of the transcript's tokens. Pure; never fails.
    static bool matchesWakePhrase(std::string_view transcript);

    // Creates the listener and its audio engine; touches neither the
    // microphone nor the recognizer and checks no permission. Output lines go
    // to `printLine`.
    static std::shared_ptr<WakeWordListener> create(std::string requestedLocale,
                                                    std::shared_ptr<platform::MainQueue> mainQueue,
                                                    std::shared_ptr<platform::SpeechServices> speech,
                                                    LineSink printLine = defaultLineSink());

    WakeWordListener(ConstructionKey, std::string requestedLocale, std::shared_ptr<platform::MainQueue> mainQueue,
                     std::shared_ptr<platform::SpeechServices> speech, LineSink printLine);
    // Releases the fields in their declaration order; does not call stop().
    ~WakeWordListener();
    WakeWordListener(const WakeWordListener&) = delete;
    WakeWordListener& operator=(const WakeWordListener&) = delete;

    // The first of the requested locale (trimmed), "en-IN" and "en-US" whose
    // recognizer is available and recognises on the device; null when none
    // does. Reads only `requestedLocale`.
    std::shared_ptr<platform::Recognizer> selectOnDeviceRecognizer() const;

    // Chooses the recognizer, taps the microphone and starts the first
    // session. Called once, after both permissions are granted.
    void start();
    // Replaces the current session (task and request) with a new one.
    void startRecognitionSession();
    // Starts a new session 0.25 s from now, replacing a pending restart.
    void scheduleRecognitionRestart();
    // Tears the audio path down. Safe in every state, any number of times.
    void stop();

    // Confirms or asks for the microphone and speech permissions, then calls
    // start() when both are granted.
    void authorizeAndStart();

    static constexpr int tapBus = 0;
    static constexpr std::uint32_t tapBufferSize = 1024;
    static constexpr double restartDelaySeconds = 0.25;

private:
    // Calls the completion once: at once on the caller's thread when the
    // system has already decided, on the main queue when it had to ask.
    void requestMicrophoneAccess(std::function<void(bool granted)> completion);

    void handleRecognitionResult(const std::optional<platform::RecognitionResult>& result,
                                 const std::optional<platform::RecognitionError>& error);
    // The tap callback's work, on the capture thread.
    void appendCapturedBuffer(const platform::AudioBuffer& buffer);
    void replaceRecognitionRequest(std::shared_ptr<platform::RecognitionRequest> request);

    // Services the listener runs on (not part of its state).
    const std::shared_ptr<platform::MainQueue> mainQueue_;
    const std::shared_ptr<platform::SpeechServices> speech_;
    const LineSink printLine_;
    // Guards `recognitionRequest` between the main queue (which replaces it)
    // and the capture thread (which copies it). Held only to copy or swap the
    // pointer, never while calling into the platform.
    mutable std::mutex recognitionRequestMutex_;

    // The listener's state.
    std::string requestedLocale;
    std::shared_ptr<platform::AudioEngine> audioEngine;  // created with the listener, never replaced
    std::shared_ptr<platform::Recognizer> recognizer;
    std::shared_ptr<platform::RecognitionRequest> recognitionRequest;
    std::shared_ptr<platform::RecognitionTask> recognitionTask;
    std::shared_ptr<platform::WorkItem> restartWorkItem;
    bool wakeDetected = false;
    bool audioTapInstalled = false;
};

// Splits text into its maximal runs of the letters a-z. Every other
// character, ASCII or not, separates tokens.
std::vector<std::string_view> wakePhraseTokens(std::string_view text);

}  // namespace hotword
