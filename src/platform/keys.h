// Key events as the console layer sees them, whatever device they come from.
#pragma once

#include <cstdint>

namespace tarvos::platform {

inline constexpr uint16_t kVkBack = 0x08;
inline constexpr uint16_t kVkReturn = 0x0D;
inline constexpr uint16_t kVkEscape = 0x1B;
inline constexpr uint16_t kVkPrior = 0x21;
inline constexpr uint16_t kVkNext = 0x22;
inline constexpr uint16_t kVkLeft = 0x25;
inline constexpr uint16_t kVkUp = 0x26;
inline constexpr uint16_t kVkRight = 0x27;
inline constexpr uint16_t kVkDown = 0x28;

inline constexpr uint32_t kRightCtrl = 0x04;
inline constexpr uint32_t kLeftCtrl = 0x08;

// One key press: its character (0 for keys without one), virtual key code and control-key bits.
struct KeyEvent {
  uint8_t ch = 0;
  uint16_t vk = 0;
  uint32_t control = 0;
};

enum class ReadResult { Key, None, End };

// The key of one byte of a byte stream (a terminal in raw mode, a pipe, a file).
inline KeyEvent KeyFromByte(uint8_t b) {
  KeyEvent key;
  if (b == '\r' || b == '\n') {
    key.ch = 0x0D;
    key.vk = kVkReturn;
  } else if (b == 0x7F || b == 0x08) {
    key.ch = 0x08;
    key.vk = kVkBack;
  } else {
    key.ch = b;
    key.vk = (b >= 'a' && b <= 'z') ? static_cast<uint16_t>(b - 0x20) : b;
  }
  return key;
}

// The key of the final byte of an escape sequence (ESC [ A and the like); vk 0 when unknown.
inline KeyEvent KeyFromEscapeSequence(uint8_t final, int number) {
  KeyEvent key;
  switch (final) {
    case 'A': key.vk = kVkUp; break;
    case 'B': key.vk = kVkDown; break;
    case 'C': key.vk = kVkRight; break;
    case 'D': key.vk = kVkLeft; break;
    case '~':
      if (number == 5) key.vk = kVkPrior;
      if (number == 6) key.vk = kVkNext;
      break;
    default: break;
  }
  return key;
}

}  // namespace tarvos::platform
