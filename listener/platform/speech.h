#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Speech recognition and audio capture, shaped like the platform's services.
// Objects are reference counted through shared_ptr: the holder owns what a
// make/create call returns, callers of other functions borrow.
namespace hotword::platform {

// Authorization status values as the platform reports them.
inline constexpr int authorizationNotDetermined = 0;
inline constexpr int authorizationAuthorized = 3;

// Task hint 3: the speech is a short confirmation-like command.
inline constexpr int taskHintConfirmation = 3;

struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
};

// One captured buffer, in the backend's own representation.
class AudioBuffer {
public:
    virtual ~AudioBuffer() = default;
};

class RecognitionRequest {
public:
    virtual ~RecognitionRequest() = default;
    virtual void setShouldReportPartialResults(bool value) = 0;
    virtual void setRequiresOnDeviceRecognition(bool value) = 0;
    virtual void setTaskHint(int hint) = 0;
    virtual void setContextualStrings(const std::vector<std::string>& strings) = 0;
    // Callable from any thread, also after endAudio (then it is harmless).
    virtual void appendAudio(const AudioBuffer& buffer) = 0;
    // No more audio for this request.
    virtual void endAudio() = 0;
};

class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    virtual void cancel() = 0;
};

struct RecognitionResult {
    std::string bestTranscription;  // formatted string of the best transcription
    bool isFinal = false;
};

struct RecognitionError {
    std::string description;
};

// Called repeatedly on the main queue with an optional result and an
// optional error.
using ResultHandler = std::function<void(const std::optional<RecognitionResult>& result,
                                         const std::optional<RecognitionError>& error)>;

class Recognizer {
public:
    virtual ~Recognizer() = default;
    virtual bool isAvailable() = 0;
    virtual bool supportsOnDeviceRecognition() = 0;
    // The identifier of the recognizer's own locale.
    virtual std::string localeIdentifier() = 0;
    virtual std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                             ResultHandler handler) = 0;
};

// Called for each captured buffer on a capture thread, never the main queue.
using TapBlock = std::function<void(const AudioBuffer& buffer)>;

class AudioEngine {
public:
    virtual ~AudioEngine() = default;
    // Output format of the input node on the given bus.
    virtual AudioFormat inputFormat(int bus) = 0;
    virtual void installTap(int bus, std::uint32_t bufferSize, AudioFormat format, TapBlock block) = 0;
    // After it returns the block is not called any more.
    virtual void removeTap(int bus) = 0;
    virtual void prepare() = 0;
    // False when the engine cannot start.
    virtual bool start() = 0;
    virtual bool isRunning() = 0;
    virtual void stop() = 0;
};

class SpeechServices {
public:
    virtual ~SpeechServices() = default;

    // Microphone (audio capture) authorization status.
    virtual int microphoneAuthorizationStatus() = 0;
    // Asks the user; the handler gets the answer once, on any thread.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> handler) = 0;
    // Speech recognition authorization; the handler gets the status once, on
    // any thread (at once when the system has already decided).
    virtual void requestSpeechAuthorization(std::function<void(int status)> handler) = 0;

    // A recognizer for the locale, or null for an unsupported locale.
    virtual std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier) = 0;
    virtual std::shared_ptr<AudioEngine> makeAudioEngine() = 0;
    virtual std::shared_ptr<RecognitionRequest> makeRecognitionRequest() = 0;
};

}  // namespace hotword::platform
