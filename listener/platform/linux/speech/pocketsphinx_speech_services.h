#pragma once

#include <memory>
#include <string>

#include "platform/main_queue.h"
#include "platform/speech.h"

// Speech and audio services on PocketSphinx and PulseAudio. Linux asks no
// permission for either, so both read as authorized. Results reach the
// handlers on the main queue.
namespace hotword::speech {

std::shared_ptr<platform::SpeechServices> makePocketSphinxSpeechServices(
    std::shared_ptr<platform::MainQueue> mainQueue, std::string modelRoot);

// Where the distribution installs PocketSphinx models.
const char* installedModelRoot();

}  // namespace hotword::speech
