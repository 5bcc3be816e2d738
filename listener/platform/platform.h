#pragma once

#include <memory>

#include "main_queue.h"
#include "process.h"
#include "speech.h"

namespace hotword::platform {

// The services of one backend. The backend linked into the program defines
// makeSystemPlatform().
struct Platform {
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<SpeechServices> speech;
    std::shared_ptr<ProcessServices> process;
};

Platform makeSystemPlatform();

}  // namespace hotword::platform
