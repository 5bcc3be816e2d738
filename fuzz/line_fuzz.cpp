// Arbitrary doubles through the line encoder: the line is one line, it is the
// bare form exactly when a number is not finite, and every number reads back
// as the same double.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shortcut_payload.h"

namespace {

double readDouble(const std::uint8_t*& data, std::size_t& size) {
    double value = 0;
    const std::size_t n = size < sizeof value ? size : sizeof value;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t presence = *data++;
    --size;
    double v[8];
    for (double& d : v) d = readDouble(data, size);
    keychord::ShortcutPayload payload;
    if (presence & 1) payload.inputFrame = keychord::FramePayload{v[0], v[1], v[2], v[3]};
    if (presence & 2) payload.caretFrame = keychord::FramePayload{v[4], v[5], v[6], v[7]};

    bool allFinite = true;
    std::size_t expectedNumbers = 0;
    for (int k = 0; k < 8; ++k) {
        const bool present = (k < 4) ? (presence & 1) : (presence & 2);
        if (!present) continue;
        ++expectedNumbers;
        allFinite = allFinite && std::isfinite(v[k]);
    }

    const std::string line = keychord::shortcutLine(payload);
    if (line.find('\n') != std::string::npos) __builtin_trap();
    if (!allFinite) {
        if (line != "fn-space") __builtin_trap();
        return 0;
    }
    if (line.rfind("fn-space\t{", 0) != 0) __builtin_trap();

    // Each number follows a ':' that is not followed by '{'.
    std::size_t found = 0;
    for (std::size_t i = line.find(':'); i != std::string::npos; i = line.find(':', i + 1)) {
        if (line[i + 1] == '{') continue;
        char* end = nullptr;
        const double back = std::strtod(line.c_str() + i + 1, &end);
        if (*end != ',' && *end != '}') __builtin_trap();
        int k = static_cast<int>(found);
        if (!(presence & 1)) k += 4;
        if (std::memcmp(&back, &v[k], sizeof back) != 0) __builtin_trap();
        ++found;
    }
    if (found != expectedNumbers) __builtin_trap();
    return 0;
}
