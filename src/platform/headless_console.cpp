#include "platform/headless_console.h"

namespace tarvos::platform {

void HeadlessConsole::AddKeys(const std::string& keys) {
  for (char c : keys) keys_.push_back(KeyFromByte(static_cast<uint8_t>(c)));
}

ConsoleOpen HeadlessConsole::Open(bool, bool) {
  open_ = openResult_ == ConsoleOpen::Ready;
  return openResult_;
}

ReadResult HeadlessConsole::ReadKey(KeyEvent& key, bool wait) {
  if (!wait && (!keysSeenByPolls_ || pollsToSkip_-- > 0)) return ReadResult::None;
  if (keys_.empty()) return wait ? ReadResult::End : ReadResult::None;
  key = keys_.front();
  keys_.pop_front();
  return ReadResult::Key;
}

bool HeadlessConsole::BeginScreen(bool) {
  if (!open_) return false;
  cells_.Resize(screenWidth_, screenHeight_);
  screenBegun_ = true;
  return true;
}

bool HeadlessConsole::ReadInput(InputRecord& record, int timeoutMs) {
  if (!input_.empty()) {
    record = input_.front();
    input_.pop_front();
    return true;
  }
  // Keys given as text are keys here too, for a waiting question; a poll sees them when
  // SetKeysSeenByPolls says so. They come as typed: one at a time, never two in one batch.
  if (gap_) {
    gap_ = false;
    return false;
  }
  KeyEvent key;
  ReadResult got = ReadKey(key, timeoutMs > 0);
  if (got == ReadResult::None) return false;
  // The end of the script answers a waiting question as Esc does, so that no test hangs.
  if (got == ReadResult::End) key = KeyFromByte(0x1B);
  gap_ = true;
  record = KeyInput(key);
  return true;
}

}  // namespace tarvos::platform
