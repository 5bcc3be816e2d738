// The listener's audio path: the microphone tap, recognition sessions and
// their restarts, the wake, and the teardown.
#include "wake_word_listener.h"

namespace hotword {

std::shared_ptr<WakeWordListener> WakeWordListener::create(std::string requestedLocale,
                                                           std::shared_ptr<platform::MainQueue> mainQueue,
                                                           std::shared_ptr<platform::SpeechServices> speech,
                                                           LineSink printLine) {
    return std::make_shared<WakeWordListener>(ConstructionKey{}, std::move(requestedLocale), std::move(mainQueue),
                                              std::move(speech), std::move(printLine));
}

WakeWordListener::WakeWordListener(ConstructionKey, std::string requestedLocale,
                                   std::shared_ptr<platform::MainQueue> mainQueue,
                                   std::shared_ptr<platform::SpeechServices> speech, LineSink printLine)
    : mainQueue_(std::move(mainQueue)),
      speech_(std::move(speech)),
      printLine_(std::move(printLine)),
      requestedLocale(std::move(requestedLocale)),
      audioEngine(speech_->makeAudioEngine()) {}

WakeWordListener::~WakeWordListener() {
    // Nobody else can reach the listener any more: no lock is needed.
    requestedLocale.clear();
    audioEngine.reset();
    recognizer.reset();
    recognitionRequest.reset();
    recognitionTask.reset();
    restartWorkItem.reset();
}

void WakeWordListener::start() {
    std::shared_ptr<platform::Recognizer> chosen = selectOnDeviceRecognizer();
    if (!chosen) {
        printLine_("status:unavailable");
        return;
    }
    recognizer = std::move(chosen);

    const platform::AudioFormat format = audioEngine->inputFormat(tapBus);
    // A NaN sample rate is not greater than 0 either.
    if (!(format.sampleRate > 0) || format.channelCount == 0) {
        printLine_("status:microphone-unavailable");
        return;
    }

    std::weak_ptr<WakeWordListener> weakSelf = weak_from_this();
    audioEngine->installTap(tapBus, tapBufferSize, format, [weakSelf](const platform::AudioBuffer& buffer) {
        const std::shared_ptr<WakeWordListener> self = weakSelf.lock();
        if (!self) return;
        self->appendCapturedBuffer(buffer);
    });
    audioTapInstalled = true;

    audioEngine->prepare();
    if (!audioEngine->start()) {
        // Final for the process; the tap stays until stop() removes it.
        printLine_("status:error");
        return;
    }

    startRecognitionSession();
    printLine_("status:listening:" + recognizer->localeIdentifier());
}

void WakeWordListener::appendCapturedBuffer(const platform::AudioBuffer& buffer) {
    std::shared_ptr<platform::RecognitionRequest> request;
    {
        const std::lock_guard<std::mutex> lock(recognitionRequestMutex_);
        request = recognitionRequest;
    }
    // Appending to a request whose audio was just ended is harmless.
    if (request) request->appendAudio(buffer);
}

void WakeWordListener::replaceRecognitionRequest(std::shared_ptr<platform::RecognitionRequest> request) {
    {
        const std::lock_guard<std::mutex> lock(recognitionRequestMutex_);
        recognitionRequest.swap(request);
    }
    // The old request (now in `request`) is released here, outside the lock.
}

void WakeWordListener::startRecognitionSession() {
    if (wakeDetected || !recognizer) return;

    if (recognitionTask) {
        recognitionTask->cancel();
        recognitionTask.reset();
    }
    // Only the main queue writes the field, so it reads it without the lock.
    // The old request stays stored (and fed) until the new one replaces it.
    if (recognitionRequest) recognitionRequest->endAudio();

    std::shared_ptr<platform::RecognitionRequest> request = speech_->makeRecognitionRequest();
    request->setShouldReportPartialResults(true);
    request->setRequiresOnDeviceRecognition(true);
    request->setTaskHint(platform::taskHintConfirmation);
    request->setContextualStrings(wakePhrases());
    replaceRecognitionRequest(request);

    std::weak_ptr<WakeWordListener> weakSelf = weak_from_this();
    recognitionTask = recognizer->recognitionTask(
        std::move(request), [weakSelf](const std::optional<platform::RecognitionResult>& result,
                                       const std::optional<platform::RecognitionError>& error) {
            const std::shared_ptr<WakeWordListener> self = weakSelf.lock();
            if (!self) return;
            self->handleRecognitionResult(result, error);
        });
}

void WakeWordListener::handleRecognitionResult(const std::optional<platform::RecognitionResult>& result,
                                               const std::optional<platform::RecognitionError>& error) {
    if (wakeDetected) return;
    // Callbacks of a session that was already replaced count like those of
    // the current one.
    if (result) {
        // The match comes before the error: a result carrying an error can
        // still wake.
        if (matchesWakePhrase(result->bestTranscription)) {
            wakeDetected = true;
            printLine_("wake");
            stop();
            return;
        }
        if (error || result->isFinal) scheduleRecognitionRestart();
        return;
    }
    if (error) scheduleRecognitionRestart();
}

void WakeWordListener::scheduleRecognitionRestart() {
    if (wakeDetected) return;
    if (restartWorkItem) restartWorkItem->cancel();

    std::weak_ptr<WakeWordListener> weakSelf = weak_from_this();
    restartWorkItem = mainQueue_->makeWorkItem([weakSelf] {
        const std::shared_ptr<WakeWordListener> self = weakSelf.lock();
        if (!self) return;
        self->startRecognitionSession();
    });
    mainQueue_->asyncAfter(restartDelaySeconds, restartWorkItem);
}

void WakeWordListener::stop() {
    if (restartWorkItem) {
        restartWorkItem->cancel();
        restartWorkItem.reset();
    }
    if (recognitionTask) {
        recognitionTask->cancel();
        recognitionTask.reset();
    }
    if (recognitionRequest) {
        recognitionRequest->endAudio();
        replaceRecognitionRequest(nullptr);
    }
    if (audioEngine->isRunning()) audioEngine->stop();
    if (audioTapInstalled) {
        audioEngine->removeTap(tapBus);
        audioTapInstalled = false;
    }
}

}  // namespace hotword
