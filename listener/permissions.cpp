// The permission sequence: microphone, then speech recognition, then start().
#include "wake_word_listener.h"

namespace hotword {

void WakeWordListener::authorizeAndStart() {
    printLine_("status:requesting-permission");

    // The callbacks hold the listener and the services weakly; only the
    // line sink is their own copy, so a refusal is reported even if the
    // listener is gone by then.
    std::weak_ptr<WakeWordListener> weakSelf = weak_from_this();
    std::weak_ptr<platform::SpeechServices> weakSpeech = speech_;
    std::weak_ptr<platform::MainQueue> weakMainQueue = mainQueue_;
    LineSink printLine = printLine_;

    requestMicrophoneAccess([weakSelf, weakSpeech, weakMainQueue, printLine](bool granted) {
        if (!granted) {
            printLine("status:permission-denied");
            return;
        }
        const std::shared_ptr<platform::SpeechServices> speech = weakSpeech.lock();
        if (!speech) return;
        // Asked every time: the system answers at once when it has decided.
        speech->requestSpeechAuthorization([weakSelf, weakMainQueue, printLine](int status) {
            const std::shared_ptr<platform::MainQueue> mainQueue = weakMainQueue.lock();
            if (!mainQueue) return;
            mainQueue->async([weakSelf, printLine, status] {
                if (status != platform::authorizationAuthorized) {
                    printLine("status:permission-denied");
                    return;
                }
                if (const std::shared_ptr<WakeWordListener> self = weakSelf.lock()) self->start();
            });
        });
    });
}

void WakeWordListener::requestMicrophoneAccess(std::function<void(bool granted)> completion) {
    const int status = speech_->microphoneAuthorizationStatus();
    if (status == platform::authorizationAuthorized) {
        completion(true);
        return;
    }
    if (status != platform::authorizationNotDetermined) {
        // Restricted or denied earlier.
        completion(false);
        return;
    }
    std::weak_ptr<platform::MainQueue> weakMainQueue = mainQueue_;
    speech_->requestMicrophoneAccess([weakMainQueue, completion = std::move(completion)](bool granted) {
        // The answer may come on any thread: only forward it.
        const std::shared_ptr<platform::MainQueue> mainQueue = weakMainQueue.lock();
        if (!mainQueue) return;
        mainQueue->async([completion, granted] { completion(granted); });
    });
}

}  // namespace hotword
