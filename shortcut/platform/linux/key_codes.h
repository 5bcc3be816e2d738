#pragma once

#include <cstdint>

// Linux input key codes as the tap reports them: the virtual key codes and
// modifier-flag bits of the Mac keyboard, so the shortcut decision reads the
// same numbers on every platform.
namespace keychord::platform::linux_input {

// Modifier-flag bits.
inline constexpr std::uint64_t flagCapsLock = 0x10000;
inline constexpr std::uint64_t flagShift = 0x20000;
inline constexpr std::uint64_t flagControl = 0x40000;
inline constexpr std::uint64_t flagOption = 0x80000;
inline constexpr std::uint64_t flagCommand = 0x100000;
inline constexpr std::uint64_t flagFn = 0x800000;

// Codes with no Mac counterpart are reported as this base plus the Linux
// code, so they stay apart from every Mac code.
inline constexpr std::int64_t unmappedKeyCodeBase = 0x10000;

// The reported key code of a Linux key code (KEY_SPACE gives 49).
std::int64_t reportedKeyCode(std::uint16_t linuxCode);

// The flag bit a modifier key holds while it is down (caps lock: toggles),
// or 0 when the key is not a modifier.
std::uint64_t modifierFlag(std::uint16_t linuxCode);

}  // namespace keychord::platform::linux_input
