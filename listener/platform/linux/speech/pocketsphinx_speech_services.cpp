#include "pocketsphinx_speech_services.h"

#include "pocketsphinx_recognizer.h"
#include "pulse_audio_engine.h"

namespace hotword::speech {

namespace {

class SpeechServices final : public platform::SpeechServices {
public:
    SpeechServices(std::shared_ptr<platform::MainQueue> mainQueue, std::string modelRoot)
        : mainQueue_(std::move(mainQueue)), modelRoot_(std::move(modelRoot)) {}

    int microphoneAuthorizationStatus() override { return platform::authorizationAuthorized; }
    void requestMicrophoneAccess(std::function<void(bool)> handler) override { handler(true); }
    void requestSpeechAuthorization(std::function<void(int)> handler) override {
        handler(platform::authorizationAuthorized);
    }

    std::shared_ptr<platform::Recognizer> makeRecognizer(const std::string& localeIdentifier) override {
        return makePocketSphinxRecognizer(mainQueue_, modelRoot_, localeIdentifier);
    }
    std::shared_ptr<platform::AudioEngine> makeAudioEngine() override { return makePulseAudioEngine(); }
    std::shared_ptr<platform::RecognitionRequest> makeRecognitionRequest() override {
        return makePocketSphinxRequest();
    }

private:
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::string modelRoot_;
};

}  // namespace

std::shared_ptr<platform::SpeechServices> makePocketSphinxSpeechServices(
    std::shared_ptr<platform::MainQueue> mainQueue, std::string modelRoot) {
    return std::make_shared<SpeechServices>(std::move(mainQueue), std::move(modelRoot));
}

const char* installedModelRoot() { return POCKETSPHINX_MODEL_ROOT; }

}  // namespace hotword::speech
