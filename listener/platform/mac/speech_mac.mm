// Speech recognition and audio capture on macOS: Speech (SFSpeechRecognizer
// and its buffer requests and tasks), AVFoundation (capture authorization)
// and AVFAudio (the audio engine's input tap). Compiled with ARC.
#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>
#import <Speech/Speech.h>

#include <string>
#include <utility>
#include <vector>

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

class MacAudioEngine final : public AudioEngine {
public:
    MacAudioEngine() : engine_([[AVAudioEngine alloc] init]) {}

    // The input node is first reached here, not when the engine is made.
    AudioFormat inputFormat(int bus) override {
        @autoreleasepool {
            AVAudioFormat* format = [engine_.inputNode outputFormatForBus:static_cast<AVAudioNodeBus>(bus)];
            lastInputFormat_ = format;
            return AudioFormat{format.sampleRate, format.channelCount};
        }
    }

    // The tap gets the very format object the input node reported, when the
    // values asked for are that format's.
    void installTap(int bus, std::uint32_t bufferSize, AudioFormat format, TapBlock block) override {
        @autoreleasepool {
            AVAudioFormat* tapFormat = lastInputFormat_;
            if (tapFormat == nil || tapFormat.sampleRate != format.sampleRate ||
                tapFormat.channelCount != format.channelCount) {
                tapFormat = [[AVAudioFormat alloc] initStandardFormatWithSampleRate:format.sampleRate
                                                                           channels:format.channelCount];
            }
            auto sharedBlock = std::make_shared<TapBlock>(std::move(block));
            [engine_.inputNode installTapOnBus:static_cast<AVAudioNodeBus>(bus)
                                    bufferSize:bufferSize
                                        format:tapFormat
                                         block:^(AVAudioPCMBuffer* buffer, AVAudioTime* when) {
                                           (void)when;
                                           @autoreleasepool {
                                               (*sharedBlock)(MacAudioBuffer(buffer));
                                           }
                                         }];
        }
    }

    void removeTap(int bus) override { [engine_.inputNode removeTapOnBus:static_cast<AVAudioNodeBus>(bus)]; }

    void prepare() override { [engine_ prepare]; }

    bool start() override {
        @autoreleasepool {
            NSError* error = nil;
            return [engine_ startAndReturnError:&error];
        }
    }

    bool isRunning() override { return engine_.isRunning; }
    void stop() override { [engine_ stop]; }

private:
    AVAudioEngine* engine_;
    AVAudioFormat* lastInputFormat_ = nil;
};

class MacSpeechServices final : public SpeechServices {
public:
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

    std::shared_ptr<AudioEngine> makeAudioEngine() override { return std::make_shared<MacAudioEngine>(); }

    std::shared_ptr<RecognitionRequest> makeRecognitionRequest() override {
        return std::make_shared<MacRecognitionRequest>();
    }
};

}  // namespace

std::shared_ptr<SpeechServices> makeSpeechServices() { return std::make_shared<MacSpeechServices>(); }

}  // namespace hotword::platform::mac
