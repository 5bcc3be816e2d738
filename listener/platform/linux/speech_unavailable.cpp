// Speech services that offer no recognizer: both permissions read as
// granted (Linux has no prompt), every locale lacks a recognizer and the
// microphone has no format. The listener then reports "status:unavailable".
#include "linux_speech.h"

namespace hotword::platform {

namespace {

class SilentAudioEngine : public AudioEngine {
public:
    AudioFormat inputFormat(int /*bus*/) override { return AudioFormat{0, 0}; }
    void installTap(int /*bus*/, std::uint32_t /*bufferSize*/, AudioFormat /*format*/, TapBlock /*block*/) override {}
    void removeTap(int /*bus*/) override {}
    void prepare() override {}
    bool start() override { return false; }
    bool isRunning() override { return false; }
    void stop() override {}
};

class DiscardingRequest : public RecognitionRequest {
public:
    void setShouldReportPartialResults(bool /*value*/) override {}
    void setRequiresOnDeviceRecognition(bool /*value*/) override {}
    void setTaskHint(int /*hint*/) override {}
    void setContextualStrings(const std::vector<std::string>& /*strings*/) override {}
    void appendAudio(const AudioBuffer& /*buffer*/) override {}
    void endAudio() override {}
};

class UnavailableSpeechServices : public SpeechServices {
public:
    int microphoneAuthorizationStatus() override { return authorizationAuthorized; }
    void requestMicrophoneAccess(std::function<void(bool granted)> handler) override { handler(true); }
    void requestSpeechAuthorization(std::function<void(int status)> handler) override {
        handler(authorizationAuthorized);
    }
    std::shared_ptr<Recognizer> makeRecognizer(const std::string& /*localeIdentifier*/) override { return nullptr; }
    std::shared_ptr<AudioEngine> makeAudioEngine() override { return std::make_shared<SilentAudioEngine>(); }
    std::shared_ptr<RecognitionRequest> makeRecognitionRequest() override {
        return std::make_shared<DiscardingRequest>();
    }
};

}  // namespace

std::shared_ptr<SpeechServices> makeLinuxSpeechServices(std::shared_ptr<MainQueue> /*mainQueue*/) {
    return std::make_shared<UnavailableSpeechServices>();
}

}  // namespace hotword::platform
