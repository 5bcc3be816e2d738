#pragma once

#include <memory>

#include "../main_queue.h"
#include "../speech.h"

namespace hotword::platform {

// The speech and audio services of the Linux backend. Results and permission
// answers are posted to `mainQueue`.
std::shared_ptr<SpeechServices> makeLinuxSpeechServices(std::shared_ptr<MainQueue> mainQueue);

}  // namespace hotword::platform
