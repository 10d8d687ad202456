#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/posix/terminal_mode.h"

namespace tarvos::platform {

namespace {

constexpr int kMinColumns = 66;
constexpr int kMinRows = 25;

volatile CtrlHandler g_ctrlHandler = nullptr;

void OnSignal(int sig) {
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
    std::string text = "\033]0;";
    text += title;
    text += '\007';
    WriteAll(ttyFd_, text);
  }

  void WriteStdout(std::string_view text) override { WriteAll(STDOUT_FILENO, text); }
  void WriteStderr(std::string_view text) override { WriteAll(STDERR_FILENO, text); }

  ReadResult ReadKey(KeyEvent& key, bool wait) override {
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
      key = KeyFromByte(0x1B);  // Esc followed by a key: the key is dropped with the sequence
      return ReadResult::Key;
    }
    int number = 0;
    for (int i = 0; i < 16; ++i) {
      uint8_t c = 0;
      if (ReadByte(c, 25) != ReadResult::Key) break;
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

  void FlushInput() override {
    if (terminalInput_) ::tcflush(inputFd_, TCIFLUSH);
  }

 private:
  bool EnsureScreenSize() {
    int columns = 0, rows = 0;
    if (!ScreenSize(ttyFd_, columns, rows)) return false;
    if (columns >= kMinColumns && rows >= kMinRows) return true;
    // Ask the terminal to grow (xterm window operation); many terminals do.
    char request[48];
    std::snprintf(request, sizeof request, "\033[8;%d;%dt", rows < kMinRows ? kMinRows : rows,
                  columns < kMinColumns ? kMinColumns : columns);
    WriteAll(ttyFd_, request);
    ::usleep(100000);
    return ScreenSize(ttyFd_, columns, rows) && columns >= kMinColumns && rows >= kMinRows;
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
