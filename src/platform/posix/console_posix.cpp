#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/posix/terminal_mode.h"

namespace tarvos::platform {

namespace {

volatile CtrlHandler g_ctrlHandler = nullptr;

volatile sig_atomic_t g_resized = 0;
int g_wakePipe[2] = {-1, -1};

void OnResize(int) {
  g_resized = 1;
  if (g_wakePipe[1] >= 0) {
    char byte = 0;
    ssize_t written = ::write(g_wakePipe[1], &byte, 1);
    (void)written;
  }
}

void OnSignal(int sig) {
  // With the full screen up, a typed Ctrl+C is a key: the signal came from another process,
  // which wants the run to end.
  if (ScreenUpForTermination()) TerminateOnSignal(sig);
  unsigned event = sig == SIGINT ? 0u : 1u;
  CtrlHandler handler = g_ctrlHandler;
  if (handler != nullptr && handler(event)) return;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// A terminal that shows no colours: the DEC terminals (vt100, vt220, ...) and the monochrome
// forms of others ("xterm-mono", "linux-m"); or NO_COLOR set, as the user's wish.
bool WithoutColours(const char* term) {
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour != nullptr && *noColour != 0) return true;
  std::string name = term != nullptr ? term : "";
  auto endsWith = [&](const std::string& end) {
    return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  bool dec = name.size() > 2 && name.compare(0, 2, "vt") == 0 && name[2] >= '0' && name[2] <= '9';
  return (dec && name.find("color") == std::string::npos) || endsWith("-m") || endsWith("-mono");
}

bool ScreenSize(int fd, int& columns, int& rows) {
  struct winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return false;
  columns = ws.ws_col;
  rows = ws.ws_row;
  return true;
}

// The controlling terminal, or standard input and output when there is none.
class PosixConsole final : public ConsoleDevice {
 public:
  ~PosixConsole() override { Close(); }

  std::string WhyNoScreen() const override {
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == 0) return "TERM is not set";
    if (std::string(term) == "dumb") return "TERM is dumb";
    return {};
  }

  std::string ScreenSizes() const override {
    int columns = 0, rows = 0;
    if (ttyFd_ < 0 || !ScreenSize(ttyFd_, columns, rows)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%d x %d needed, %d x %d found", kMinScreenColumns, kMinScreenRows, columns, rows);
    return text;
  }

  ConsoleOpen Open(bool screen, bool) override {
    Close();
    ttyFd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (screen) {
      if (ttyFd_ < 0) return ConsoleOpen::NoConsole;
      if (!EnsureScreenSize()) return ConsoleOpen::TooSmall;
      inputFd_ = ttyFd_;
    } else {
      inputFd_ = STDIN_FILENO;
    }
    terminalInput_ = ::isatty(inputFd_) == 1;
    if (terminalInput_ && ::tcgetattr(inputFd_, &savedMode_) == 0) {
      // Keys one at a time, unechoed; Ctrl+C arrives as the character 0x03.
      struct termios raw = savedMode_;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG | IEXTEN));
      raw.c_iflag &= static_cast<tcflag_t>(~(ICRNL | IXON));
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      modeSaved_ = ::tcsetattr(inputFd_, TCSANOW, &raw) == 0;
      if (modeSaved_) KeepTerminalModeForTermination(inputFd_, savedMode_);
    }
    inputEnded_ = false;
    return ConsoleOpen::Ready;
  }

  void Close() override {
    FlushStdout();
    EndScreen();
    if (titlePushed_ && ttyFd_ >= 0) WriteAll(ttyFd_, "\033[23;0t");
    titlePushed_ = false;
    if (modeSaved_) ::tcsetattr(inputFd_, TCSANOW, &savedMode_);
    if (modeSaved_) ForgetTerminalModeForTermination();
    modeSaved_ = false;
    if (ttyFd_ >= 0) ::close(ttyFd_);
    ttyFd_ = -1;
    inputFd_ = STDIN_FILENO;
    terminalInput_ = false;
  }

  void InstallCtrlHandler(CtrlHandler handler) override {
    g_ctrlHandler = handler;
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGQUIT, &action, nullptr);
  }

  void RemoveCtrlHandler() override {
    g_ctrlHandler = nullptr;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGQUIT, SIG_DFL);
  }

  void SetTitle(const char* title) override {
    if (ttyFd_ < 0 || inputFd_ != ttyFd_) return;  // only the full-screen interface owns the terminal
    // The user's title is kept on the terminal's title stack, and taken back when the terminal is.
    std::string text = titlePushed_ ? "\033]0;" : "\033[22;0t\033]0;";
    titlePushed_ = true;
    text += title;
    text += '\007';
    WriteAll(ttyFd_, text);
  }

  // Standard output is held and written in large pieces: a run that reports half a million
  // faults makes a few hundred writes, not millions. What is held goes out once it is large,
  // when kOutputMs have passed, before any input is waited for, before standard error and the
  // terminal are written, and when the console closes.
  void WriteStdout(std::string_view text) override {
    held_.append(text);
    if (held_.size() >= kOutputHeld || OutputDue()) FlushStdout();
  }
  void WriteStderr(std::string_view text) override {
    FlushStdout();
    WriteAll(STDERR_FILENO, text);
  }
  bool StderrIsTerminal() const override { return ::isatty(STDERR_FILENO) == 1; }

  ReadResult ReadKey(KeyEvent& key, bool wait) override {
    if (wait || OutputDue()) FlushStdout();
    if (inputEnded_) return ReadResult::End;
    if (!wait && (!terminalInput_ || TooSoon())) return ReadResult::None;
    uint8_t byte = 0;
    ReadResult got = ReadByte(byte, wait ? 1 : 0);
    if (got != ReadResult::Key) return got;
    if (byte != 0x1B) {
      key = KeyFromByte(byte);
      return ReadResult::Key;
    }
    // Esc alone, or the start of an escape sequence (arrows, page keys)?
    uint8_t next = 0;
    if (ReadByte(next, 25) != ReadResult::Key) {
      key = KeyFromByte(0x1B);
      return ReadResult::Key;
    }
    if (next != '[' && next != 'O') {
      key = KeyFromByte(AltOrEscape(next));
      return ReadResult::Key;
    }
    int number = 0;
    for (int i = 0; i < 16; ++i) {
      uint8_t c = 0;
      if (ReadByte(c, 25) != ReadResult::Key) {
        if (i == 0) {  // Alt+[ or Alt+Shift+O: nothing follows
          key = KeyFromByte(next);
          return ReadResult::Key;
        }
        break;
      }
      if (c >= '0' && c <= '9') {
        number = number * 10 + (c - '0');
        continue;
      }
      if (c >= 0x40 && c <= 0x7E) {
        key = KeyFromEscapeSequence(c, number);
        return key.vk != 0 ? ReadResult::Key : ReadResult::None;
      }
    }
    return ReadResult::None;
  }

  bool InputIsTerminal() const override { return terminalInput_; }

  void FlushInput() override {
    if (terminalInput_) ::tcflush(inputFd_, TCIFLUSH);
  }

  bool BeginScreen(bool mouse) override {
    FlushStdout();
    if (screenUp_ || ttyFd_ < 0 || inputFd_ != ttyFd_) return false;
    int columns = 0, rows = 0;
    if (!ScreenSize(ttyFd_, columns, rows) || columns < kMinScreenColumns || rows < kMinScreenRows) return false;
    const char* term = std::getenv("TERM");
    linuxConsole_ = term != nullptr && std::string(term) == "linux";
    monochrome_ = WithoutColours(term);
    if (g_wakePipe[0] < 0 && ::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wakePipe[0] = g_wakePipe[1] = -1;
    struct sigaction action{};
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);
    g_resized = 0;
    std::string begin;
    // The Linux text console has no alternate screen: it is cleared at the start and the end.
    begin += linuxConsole_ ? "\033[0m\033[2J" : "\033[?1049h\033[2J";
    if (mouse) begin += "\033[?1000h\033[?1006h";
    restore_ = mouse ? "\033[?1000l\033[?1006l" : "";
    restore_ += "\033[0m";
    restore_ += linuxConsole_ ? "\033[2J\033[H" : "\033[?1049l";
    restore_ += "\033[?25h";
    KeepScreenRestoreForTermination(ttyFd_, restore_.c_str());
    HandleStopsWhileScreenUp(begin.c_str());
    WriteAll(ttyFd_, begin);
    cells_.Resize(columns, rows);
    shown_.Resize(0, 0);
    terminalColumns_ = columns;
    terminalRows_ = rows;
    screenUp_ = true;
    return true;
  }

  void EndScreen() override {
    FlushStdout();
    if (!screenUp_) return;
    StopHandlingStops();
    WriteAll(ttyFd_, restore_);
    ForgetScreenRestoreForTermination();
    ::signal(SIGWINCH, SIG_DFL);
    screenUp_ = false;
  }

  bool Monochrome() const override { return monochrome_; }

  void Suspend() override {
    if (screenUp_) ::raise(SIGTSTP);  // as a stop from the shell: see HandleStopsWhileScreenUp
  }

  void Present() override {
    FlushStdout();
    if (!screenUp_) return;
    if (terminalColumns_ < kMinScreenColumns || terminalRows_ < kMinScreenRows) return ShowTooSmall();
    // A screen not yet laid out for the terminal shows what fits; drawn whole, the terminal is
    // cleared first, so that nothing of an earlier picture stays beside it.
    ScreenModel visible;
    int columns = std::min(terminalColumns_, cells_.Width());
    int rows = std::min(terminalRows_, cells_.Height());
    visible.Resize(columns, rows);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < columns; ++x) visible.At(x, y) = cells_.At(x, y);
    }
    visible.cursorX = std::min(cells_.cursorX, columns - 1);
    visible.cursorY = std::min(cells_.cursorY, rows - 1);
    visible.cursorVisible = cells_.cursorVisible;
    std::string out = shown_.Width() == 0 ? "\033[0m\033[2J" : "";
    out += RenderChanges(visible, shown_, monochrome_);
    if (!out.empty()) WriteAll(ttyFd_, out);
  }

  bool ReadInput(InputRecord& record, int timeoutMs) override {
    if (!screenUp_) return false;
    if (TakeResize(record)) return true;
    if (pendingMouse_.type != InputRecord::Type::None) {
      record = pendingMouse_;
      pendingMouse_ = InputRecord{};
      return true;
    }
    struct pollfd fds[2] = {{inputFd_, POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
    int ready = ::poll(fds, g_wakePipe[0] >= 0 ? 2 : 1, timeoutMs);
    if (ready <= 0) return TakeResize(record);
    if (fds[1].revents & POLLIN) {
      char drain[16];
      while (::read(g_wakePipe[0], drain, sizeof drain) > 0) {
      }
    }
    if (TakeResize(record)) return true;
    if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) return false;
    uint8_t byte = 0;
    if (ReadByte(byte, 0) != ReadResult::Key) return false;
    if (byte != 0x1B) return KeyRecord(record, KeyFromByte(byte));
    uint8_t next = 0;
    if (ReadByte(next, 25) != ReadResult::Key) return KeyRecord(record, KeyFromByte(0x1B));
    if (next != '[' && next != 'O') return KeyRecord(record, KeyFromByte(AltOrEscape(next)));
    // An escape sequence: a key, or an SGR mouse report "ESC [ < b ; x ; y M" (m: released).
    uint8_t first = 0;
    if (ReadByte(first, 25) != ReadResult::Key) return KeyRecord(record, KeyFromByte(next));  // Alt+[, Alt+O
    if (first == '<') return MouseRecord(record);
    int number = 0;
    for (uint8_t c = first, i = 0; i < 16; ++i) {
      if (c >= '0' && c <= '9') {
        number = number * 10 + (c - '0');
      } else if (c >= 0x40 && c <= 0x7E) {
        KeyEvent key = KeyFromEscapeSequence(c, number);
        return key.vk != 0 && KeyRecord(record, key);
      }
      if (ReadByte(c, 25) != ReadResult::Key) break;
    }
    return false;
  }

 private:
  static constexpr size_t kOutputHeld = 64 * 1024;
  static constexpr uint64_t kOutputMs = 50;
  bool OutputDue() const { return !held_.empty() && MonotonicMs() - lastOutput_ >= kOutputMs; }
  void FlushStdout() {
    if (held_.empty()) return;  // Present calls this every frame: no clock read for nothing
    WriteAll(STDOUT_FILENO, held_);
    held_.clear();
    lastOutput_ = MonotonicMs();
  }
  std::string held_;
  uint64_t lastOutput_ = 0;

  // Alt+letter: the terminal sends Esc and the letter at once, and it is that key, as a Windows
  // console delivers Alt+O as "o". Esc and a byte that is no character stays Esc.
  static uint8_t AltOrEscape(uint8_t next) { return next >= 0x20 && next < 0x7F ? next : 0x1B; }
  static bool KeyRecord(InputRecord& record, const KeyEvent& key) {
    record = KeyInput(key);
    return true;
  }

  // One line in the middle of a terminal too small for the screen, until it grows again.
  void ShowTooSmall() {
    if (shown_.Width() != 0 || shownTooSmall_) return;
    shownTooSmall_ = true;
    char text[96];
    int length = std::snprintf(text, sizeof text, "Terminal too small: %d x %d needed, %d x %d found", kMinScreenColumns,
                               kMinScreenRows, terminalColumns_, terminalRows_);
    std::string out = "\033[0m\033[2J\033[" + std::to_string(terminalRows_ / 2 + 1) + ";1H";
    out.append(text, static_cast<size_t>(std::clamp(std::min(length, terminalColumns_), 0, 95)));
    WriteAll(ttyFd_, out + "\033[?25l");
  }

  bool TakeResize(InputRecord& record) {
    // Continued after a stop: the terminal was the user's meanwhile, so all is drawn again, as
    // after a resize.
    bool continued = TakeContinued();
    if (!g_resized && !continued) return false;
    g_resized = 0;
    int columns = 0, rows = 0;
    if (!ScreenSize(ttyFd_, columns, rows)) return false;
    if (continued || columns != terminalColumns_ || rows != terminalRows_) shown_.Resize(0, 0);  // all is drawn again
    terminalColumns_ = columns;
    terminalRows_ = rows;
    shownTooSmall_ = false;
    record = InputRecord{};
    record.type = InputRecord::Type::Resize;
    record.width = static_cast<int16_t>(columns);
    record.height = static_cast<int16_t>(rows);
    return true;
  }

  bool MouseRecord(InputRecord& record) {
    int values[3] = {0, 0, 0};
    int which = 0;
    uint8_t c = 0;
    for (int i = 0; i < 24; ++i) {
      if (ReadByte(c, 25) != ReadResult::Key) return false;
      if (c >= '0' && c <= '9') {
        values[which] = values[which] * 10 + (c - '0');
      } else if (c == ';' && which < 2) {
        ++which;
      } else {
        break;
      }
    }
    if (c != 'M' && c != 'm') return false;
    record = InputRecord{};
    record.type = InputRecord::Type::Mouse;
    record.x = static_cast<int16_t>(values[1] - 1);
    record.y = static_cast<int16_t>(values[2] - 1);
    int button = values[0] & 3;
    if (values[0] & 64) {  // 64: the wheel turned up, 65: down
      record.mouseFlags = kMouseWheeled;
      record.buttons = (values[0] & 1) != 0 ? kWheelDown : kWheelUp;
    } else if (values[0] & 32) {
      record.mouseFlags = kMouseMoved;
      record.buttons = button == 0 ? kMouseLeft : button == 2 ? kMouseRight : 0;
    } else if (c == 'M') {
      record.buttons = button == 0 ? kMouseLeft : button == 2 ? kMouseRight : 0;
      // Terminals do not tell a double click: a second press on the same cell soon after is one.
      struct timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
      if (ms - lastPressMs_ < kDoubleClickMs && record.x == lastPressX_ && record.y == lastPressY_ &&
          record.buttons == lastPressButtons_) {
        record.mouseFlags = kMouseDoubleClick;
        lastPressMs_ = 0;
      } else {
        lastPressMs_ = ms;
      }
      lastPressX_ = record.x;
      lastPressY_ = record.y;
      lastPressButtons_ = record.buttons;
    }
    return true;
  }
  bool EnsureScreenSize() {
    int columns = 0, rows = 0;
    if (!ScreenSize(ttyFd_, columns, rows)) return false;
    if (columns >= kMinScreenColumns && rows >= kMinScreenRows) return true;
    // Ask the terminal to grow (xterm window operation); many terminals do.
    char request[48];
    std::snprintf(request, sizeof request, "\033[8;%d;%dt", rows < kMinScreenRows ? kMinScreenRows : rows,
                  columns < kMinScreenColumns ? kMinScreenColumns : columns);
    WriteAll(ttyFd_, request);
    ::usleep(100000);
    return ScreenSize(ttyFd_, columns, rows) && columns >= kMinScreenColumns && rows >= kMinScreenRows;
  }

  // Long stages poll after every small step; the terminal is asked at most every few
  // milliseconds, which no typist notices and which keeps the system calls off the hot path.
  bool TooSoon() {
    struct timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms - lastPollMs_ < kPollIntervalMs) return true;
    lastPollMs_ = ms;
    return false;
  }

  ReadResult ReadByte(uint8_t& byte, int timeoutMs) {
    struct pollfd pfd{inputFd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, timeoutMs);
    if (ready <= 0) return ReadResult::None;
    ssize_t n = ::read(inputFd_, &byte, 1);
    if (n == 1) return ReadResult::Key;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return ReadResult::None;
    inputEnded_ = true;  // end of file, or the terminal is gone
    return ReadResult::End;
  }

  static constexpr int64_t kPollIntervalMs = 5;
  static constexpr int64_t kDoubleClickMs = 400;
  bool screenUp_ = false;
  bool linuxConsole_ = false;
  bool monochrome_ = false;
  bool shownTooSmall_ = false;
  bool titlePushed_ = false;
  std::string restore_;
  ScreenModel shown_;
  int terminalColumns_ = 0;
  int terminalRows_ = 0;
  InputRecord pendingMouse_;
  int64_t lastPressMs_ = 0;
  int16_t lastPressX_ = -1;
  int16_t lastPressY_ = -1;
  uint32_t lastPressButtons_ = 0;
  int64_t lastPollMs_ = 0;
  int ttyFd_ = -1;
  int inputFd_ = STDIN_FILENO;
  bool terminalInput_ = false;
  bool inputEnded_ = false;
  bool modeSaved_ = false;
  struct termios savedMode_{};
};

}  // namespace

std::unique_ptr<ConsoleDevice> MakeSystemConsole() { return std::make_unique<PosixConsole>(); }

}  // namespace tarvos::platform
