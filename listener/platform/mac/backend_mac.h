#pragma once

#include <memory>

#include "../main_queue.h"
#include "../process.h"
#include "../speech.h"

// The pieces of the macOS backend, put together by makeSystemPlatform().
namespace hotword::platform::mac {

std::shared_ptr<MainQueue> makeMainQueue();
// Results and engine recovery run on `mainQueue`.
std::shared_ptr<SpeechServices> makeSpeechServices(std::shared_ptr<MainQueue> mainQueue);
std::shared_ptr<ProcessServices> makeProcessServices();

}  // namespace hotword::platform::mac
