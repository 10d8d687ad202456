// A console without a screen or keyboard: keys come from a script, output is kept in memory.
// Tests drive whole runs through it.
#pragma once

#include <deque>
#include <string>

#include "platform/console.h"

namespace tarvos::platform {

class HeadlessConsole : public ConsoleDevice {
 public:
  // Each byte of keys is one key press (see KeyFromByte); "\x1b" is Esc, "\r" Enter.
  explicit HeadlessConsole(std::string keys = {}) { AddKeys(keys); }

  void AddKeys(const std::string& keys);
  void AddKey(const KeyEvent& key) { keys_.push_back(key); }
  // What a poll that does not wait may see: by default a script answers only waiting prompts,
  // as a pipe does. With seen, polls take keys too, once the first skipped polls have passed.
  void SetKeysSeenByPolls(bool seen, int skipped = 0) {
    keysSeenByPolls_ = seen;
    pollsToSkip_ = skipped;
  }
  void SetOpenResult(ConsoleOpen result) { openResult_ = result; }

  const std::string& Stdout() const { return stdout_; }
  const std::string& Stderr() const { return stderr_; }
  void ClearOutput() { stdout_.clear(); stderr_.clear(); }
  size_t KeysLeft() const { return keys_.size(); }
  bool IsOpen() const { return open_; }
  const std::string& Title() const { return title_; }
  bool HandlerInstalled() const { return handler_ != nullptr; }

  ConsoleOpen Open(bool screen, bool mouse) override;
  void Close() override { open_ = false; }
  void InstallCtrlHandler(CtrlHandler handler) override { handler_ = handler; }
  void RemoveCtrlHandler() override { handler_ = nullptr; }
  void SetTitle(const char* title) override { title_ = title; }
  void WriteStdout(std::string_view text) override { stdout_.append(text); }
  void WriteStderr(std::string_view text) override { stderr_.append(text); }
  bool StderrIsTerminal() const override { return stderrTerminal; }
  bool stderrTerminal = false;
  ReadResult ReadKey(KeyEvent& key, bool wait) override;
  void FlushInput() override {}

  // The screen: cells kept for tests to read, input records fed by a script.
  void SetScreenSize(int width, int height) {
    screenWidth_ = width;
    screenHeight_ = height;
  }
  void AddInput(const InputRecord& record) { input_.push_back(record); }
  size_t PendingInput() const { return input_.size(); }
  // What a terminal would have been sent by every Present so far.
  const std::string& Sent() const { return sent_; }
  bool ScreenBegun() const { return screenBegun_; }
  bool BeginScreen(bool mouse) override;
  void EndScreen() override { screenBegun_ = false; }
  void Present() override { sent_ += RenderChanges(cells_, shown_); }
  bool ReadInput(InputRecord& record, int timeoutMs) override;

 private:
  std::deque<KeyEvent> keys_;
  std::string stdout_;
  std::string stderr_;
  std::string title_;
  CtrlHandler handler_ = nullptr;
  ConsoleOpen openResult_ = ConsoleOpen::Ready;
  bool keysSeenByPolls_ = false;
  int pollsToSkip_ = 0;
  bool open_ = false;
  int screenWidth_ = 80;
  int screenHeight_ = 25;
  bool screenBegun_ = false;
  bool gap_ = false;
  std::deque<InputRecord> input_;
  ScreenModel shown_;
  std::string sent_;
};

}  // namespace tarvos::platform
