#pragma once

#include <memory>
#include <string>

#include "decoder.h"
#include "platform/main_queue.h"
#include "platform/speech.h"

// Recognizer, request and task over PocketSphinx. One decoder thread per
// recognizer runs the tasks one after another: it converts each request's
// audio to 16 kHz mono, decodes it, and posts partial results, the final
// result at the end of an utterance (when voice activity stops or the audio
// ends) and errors to the main queue.
namespace hotword::speech {

std::shared_ptr<platform::RecognitionRequest> makePocketSphinxRequest();

// A recognizer over the installed model of the locale, or null when there is
// none. The model is loaded here; a model that does not load gives a
// recognizer that is not available.
std::shared_ptr<platform::Recognizer> makePocketSphinxRecognizer(std::shared_ptr<platform::MainQueue> mainQueue,
                                                                 const std::string& modelRoot,
                                                                 const std::string& localeIdentifier,
                                                                 const DecoderSettings& settings = {});

}  // namespace hotword::speech
