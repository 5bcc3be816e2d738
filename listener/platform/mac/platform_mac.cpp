// The macOS services of hotword-agent.
#include "../platform.h"

#include "backend_mac.h"

namespace hotword::platform {

Platform makeSystemPlatform() {
    return Platform{mac::makeMainQueue(), mac::makeSpeechServices(), mac::makeProcessServices()};
}

}  // namespace hotword::platform
