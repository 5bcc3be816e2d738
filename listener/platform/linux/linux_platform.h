#pragma once

#include <memory>

#include "../main_queue.h"
#include "../process.h"

namespace hotword::platform {

// The main queue on the GLib main loop of the default main context; create it
// on the main thread. async() may be called from any thread.
std::shared_ptr<MainQueue> makeGlibMainQueue();

// getpid, stat(), the host watch and _exit. SIGTERM is never set to SIG_IGN: an ignored signal
// is discarded on Linux and would never reach the signal source.
std::shared_ptr<ProcessServices> makeLinuxProcessServices();

}  // namespace hotword::platform
