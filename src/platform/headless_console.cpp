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

bool HeadlessConsole::ReadInput(InputRecord& record, int) {
  if (input_.empty()) return false;
  record = input_.front();
  input_.pop_front();
  return true;
}

}  // namespace tarvos::platform
