#pragma once

#include <cstdint>

namespace bench {

// How many times operator new has been called in this process so far.
std::uint64_t allocationCount();

}  // namespace bench
