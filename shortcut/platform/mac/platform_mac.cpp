// The macOS services of keychord-agent.
#include "../platform.h"

#include "backend_mac.h"

namespace keychord::platform {

Platform makeSystemPlatform() {
    return Platform{mac::makeAccessibility(), mac::makeEventTap(), mac::makeEmissionQueue()};
}

}  // namespace keychord::platform
