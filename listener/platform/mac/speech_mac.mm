// Speech recognition and audio capture on macOS: Speech (SFSpeechRecognizer
// and its buffer requests and tasks), AVFoundation (capture authorization)
// and AVFAudio (the audio engine's input tap). Compiled with ARC.
#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include <string>
#include <utility>
#include <vector>

#include "../engine_recovery.h"
#include "backend_mac.h"

namespace hotword::platform::mac {

namespace {

// nil when the bytes are not valid UTF-8.
NSString* makeString(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

std::string toStdString(NSString* string) {
    if (string == nil) return {};
    const char* utf8 = string.UTF8String;
    return utf8 != nullptr ? std::string(utf8) : std::string();
}

class MacAudioBuffer final : public AudioBuffer {
public:
    explicit MacAudioBuffer(AVAudioPCMBuffer* buffer) : buffer_(buffer) {}
    AVAudioPCMBuffer* get() const { return buffer_; }

private:
    AVAudioPCMBuffer* buffer_;
};

class MacRecognitionRequest final : public RecognitionRequest {
public:
    MacRecognitionRequest() : request_([[SFSpeechAudioBufferRecognitionRequest alloc] init]) {}

    void setShouldReportPartialResults(bool value) override { request_.shouldReportPartialResults = value; }
    void setRequiresOnDeviceRecognition(bool value) override { request_.requiresOnDeviceRecognition = value; }
    void setTaskHint(int hint) override { request_.taskHint = static_cast<SFSpeechRecognitionTaskHint>(hint); }

    void setContextualStrings(const std::vector<std::string>& strings) override {
        @autoreleasepool {
            NSMutableArray<NSString*>* array = [NSMutableArray arrayWithCapacity:strings.size()];
            for (const std::string& text : strings) {
                NSString* string = makeString(text);
                if (string != nil) [array addObject:string];
            }
            request_.contextualStrings = array;
        }
    }

    // From the capture thread. SFSpeechAudioBufferRecognitionRequest accepts
    // buffers from any thread, also after endAudio.
    void appendAudio(const AudioBuffer& buffer) override {
        const auto* macBuffer = dynamic_cast<const MacAudioBuffer*>(&buffer);
        if (macBuffer == nullptr) return;
        [request_ appendAudioPCMBuffer:macBuffer->get()];
    }

    void endAudio() override { [request_ endAudio]; }

    SFSpeechAudioBufferRecognitionRequest* get() const { return request_; }

private:
    SFSpeechAudioBufferRecognitionRequest* request_;
};

class MacRecognitionTask final : public RecognitionTask {
public:
    explicit MacRecognitionTask(SFSpeechRecognitionTask* task) : task_(task) {}
    void cancel() override { [task_ cancel]; }

private:
    SFSpeechRecognitionTask* task_;
};

class MacRecognizer final : public Recognizer {
public:
    explicit MacRecognizer(SFSpeechRecognizer* recognizer) : recognizer_(recognizer) {}

    bool isAvailable() override { return recognizer_.isAvailable; }
    bool supportsOnDeviceRecognition() override { return recognizer_.supportsOnDeviceRecognition; }

    std::string localeIdentifier() override {
        @autoreleasepool {
            return toStdString(recognizer_.locale.localeIdentifier);
        }
    }

    // The recognizer's queue is left alone: result handlers arrive on the
    // main queue, its default.
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override {
        auto* macRequest = dynamic_cast<MacRecognitionRequest*>(request.get());
        if (macRequest == nullptr) return nullptr;
        auto sharedHandler = std::make_shared<ResultHandler>(std::move(handler));
        SFSpeechRecognitionTask* task = [recognizer_
            recognitionTaskWithRequest:macRequest->get()
                         resultHandler:^(SFSpeechRecognitionResult* _Nullable result, NSError* _Nullable error) {
                           std::optional<RecognitionResult> resultValue;
                           if (result != nil) {
                               resultValue = RecognitionResult{toStdString(result.bestTranscription.formattedString),
                                                               static_cast<bool>(result.isFinal)};
                           }
                           std::optional<RecognitionError> errorValue;
                           if (error != nil) errorValue = RecognitionError{toStdString(error.localizedDescription)};
                           (*sharedHandler)(resultValue, errorValue);
                         }];
        return std::make_shared<MacRecognitionTask>(task);
    }

private:
    SFSpeechRecognizer* recognizer_;
};

// Runs `body`; false when it raised an Objective-C exception. AVFAudio raises
// them for some failures (a tap format the input cannot deliver, an engine
// that cannot prepare or start) instead of returning an error.
template <typename Body>
bool withoutException(Body body) {
    @try {
        body();
        return true;
    } @catch (NSException* exception) {
        (void)exception;
        return false;
    }
}

// The input tap on AVAudioEngine. The engine stops by itself when the input
// device or its configuration changes
// (AVAudioEngineConfigurationChangeNotification); it is then brought back on
// the main queue with the tap on the input's new format (EngineRecovery).
class MacAudioEngine final : public AudioEngine {
public:
    explicit MacAudioEngine(std::shared_ptr<MainQueue> mainQueue) : engine_([[AVAudioEngine alloc] init]) {
        recovery_ = std::make_shared<EngineRecovery>(std::move(mainQueue), [this] { return restart(); });
        const std::weak_ptr<EngineRecovery> weakRecovery = recovery_;
        observer_ = [[NSNotificationCenter defaultCenter]
            addObserverForName:AVAudioEngineConfigurationChangeNotification
                        object:engine_
                         queue:nil
                    usingBlock:^(NSNotification* notification) {
                      (void)notification;
                      if (const auto recovery = weakRecovery.lock()) recovery->engineStopped();
                    }];
    }
    ~MacAudioEngine() override {
        if (observer_ != nil) [[NSNotificationCenter defaultCenter] removeObserver:observer_];
        recovery_->cancel();
    }
    MacAudioEngine(const MacAudioEngine&) = delete;
    MacAudioEngine& operator=(const MacAudioEngine&) = delete;

    // The input node is first reached here, not when the engine is made.
    AudioFormat inputFormat(int bus) override {
        @autoreleasepool {
            AudioFormat result;
            withoutException([&] {
                AVAudioFormat* format = [engine_.inputNode outputFormatForBus:static_cast<AVAudioNodeBus>(bus)];
                lastInputFormat_ = format;
                result = AudioFormat{format.sampleRate, format.channelCount};
            });
            return result;
        }
    }

    // The tap gets the very format object the input node reported, when the
    // values asked for are that format's. A tap the node refuses makes the
    // next start fail.
    void installTap(int bus, std::uint32_t bufferSize, AudioFormat format, TapBlock block) override {
        @autoreleasepool {
            AVAudioFormat* tapFormat = lastInputFormat_;
            if (tapFormat == nil || tapFormat.sampleRate != format.sampleRate ||
                tapFormat.channelCount != format.channelCount) {
                tapFormat = [[AVAudioFormat alloc] initStandardFormatWithSampleRate:format.sampleRate
                                                                           channels:format.channelCount];
            }
            tap_ = std::make_shared<TapBlock>(std::move(block));
            bus_ = static_cast<AVAudioNodeBus>(bus);
            bufferSize_ = bufferSize;
            if (tapFormat == nil || !installTapBlock(tapFormat)) failed_ = true;
        }
    }

    void removeTap(int bus) override {
        withoutException([&] { [engine_.inputNode removeTapOnBus:static_cast<AVAudioNodeBus>(bus)]; });
        tap_.reset();
        failed_ = false;
    }

    void prepare() override {
        if (!withoutException([&] { [engine_ prepare]; })) failed_ = true;
    }

    bool start() override {
        @autoreleasepool {
            bool started = false;
            if (!failed_) {
                withoutException([&] {
                    NSError* error = nil;
                    started = [engine_ startAndReturnError:&error];
                });
            }
            started_ = started;
            return started;
        }
    }

    // Also while it recovers from a configuration change.
    bool isRunning() override { return started_ || engine_.isRunning; }

    void stop() override {
        started_ = false;
        recovery_->cancel();
        withoutException([&] { [engine_ stop]; });
    }

private:
    bool installTapBlock(AVAudioFormat* format) {
        const std::shared_ptr<TapBlock> sharedBlock = tap_;
        return withoutException([&] {
            [engine_.inputNode installTapOnBus:bus_
                                    bufferSize:bufferSize_
                                        format:format
                                         block:^(AVAudioPCMBuffer* buffer, AVAudioTime* when) {
                                           (void)when;
                                           @autoreleasepool {
                                               (*sharedBlock)(MacAudioBuffer(buffer));
                                           }
                                         }];
        });
    }

    // On the main queue, after the engine stopped by itself: the tap again on
    // the input's current format, then prepare and start. False to try again
    // later (no input device right now, or it refused).
    bool restart() {
        if (!started_ || !tap_) return true;
        @autoreleasepool {
            bool restarted = false;
            withoutException([&] {
                AVAudioInputNode* input = engine_.inputNode;
                AVAudioFormat* format = [input outputFormatForBus:bus_];
                if (!(format.sampleRate > 0) || format.channelCount == 0) return;
                [input removeTapOnBus:bus_];
                if (!installTapBlock(format)) return;
                [engine_ prepare];
                NSError* error = nil;
                restarted = [engine_ startAndReturnError:&error];
            });
            return restarted;
        }
    }

    AVAudioEngine* engine_;
    AVAudioFormat* lastInputFormat_ = nil;
    id observer_ = nil;
    std::shared_ptr<EngineRecovery> recovery_;
    std::shared_ptr<TapBlock> tap_;  // the listener's tap block, kept for reinstalling it
    AVAudioNodeBus bus_ = 0;
    std::uint32_t bufferSize_ = 0;
    bool failed_ = false;   // the tap or prepare raised: the next start fails
    bool started_ = false;  // start() succeeded and stop() has not run since
};

class MacSpeechServices final : public SpeechServices {
public:
    explicit MacSpeechServices(std::shared_ptr<MainQueue> mainQueue) : mainQueue_(std::move(mainQueue)) {}

    int microphoneAuthorizationStatus() override {
        return static_cast<int>([AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio]);
    }

    void requestMicrophoneAccess(std::function<void(bool granted)> handler) override {
        auto sharedHandler = std::make_shared<std::function<void(bool)>>(std::move(handler));
        [AVCaptureDevice requestAccessForMediaType:AVMediaTypeAudio
                                 completionHandler:^(BOOL granted) {
                                   (*sharedHandler)(granted);
                                 }];
    }

    void requestSpeechAuthorization(std::function<void(int status)> handler) override {
        auto sharedHandler = std::make_shared<std::function<void(int)>>(std::move(handler));
        [SFSpeechRecognizer requestAuthorization:^(SFSpeechRecognizerAuthorizationStatus status) {
          (*sharedHandler)(static_cast<int>(status));
        }];
    }

    std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeIdentifier) override {
        @autoreleasepool {
            NSString* identifier = makeString(localeIdentifier);
            if (identifier == nil) return nullptr;
            SFSpeechRecognizer* recognizer =
                [[SFSpeechRecognizer alloc] initWithLocale:[NSLocale localeWithLocaleIdentifier:identifier]];
            if (recognizer == nil) return nullptr;
            return std::make_shared<MacRecognizer>(recognizer);
        }
    }

    std::shared_ptr<AudioEngine> makeAudioEngine() override { return std::make_shared<MacAudioEngine>(mainQueue_); }

    std::shared_ptr<RecognitionRequest> makeRecognitionRequest() override {
        return std::make_shared<MacRecognitionRequest>();
    }

private:
    std::shared_ptr<MainQueue> mainQueue_;
};

}  // namespace

std::shared_ptr<SpeechServices> makeSpeechServices(std::shared_ptr<MainQueue> mainQueue) {
    return std::make_shared<MacSpeechServices>(std::move(mainQueue));
}

}  // namespace hotword::platform::mac
