#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/console_geometry.h"
#include "platform/win32/wide.h"

namespace tarvos::platform {

namespace {

constexpr SHORT kMinColumns = kMinScreenColumns;
constexpr SHORT kMinRows = kMinScreenRows;

CtrlHandler g_ctrlHandler = nullptr;
// A Ctrl+C that came as an event, not as a key (Wine's console on a terminal sends it so): the
// full screen reads it as the key all the same.
std::atomic<bool> g_ctrlCTyped{false};

BOOL WINAPI OnCtrlEvent(DWORD event) {
  if (event == CTRL_C_EVENT) g_ctrlCTyped = true;
  CtrlHandler handler = g_ctrlHandler;
  return (handler != nullptr && handler(static_cast<unsigned>(event))) ? TRUE : FALSE;
}

void WriteAll(HANDLE h, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) || n == 0) return;
    done += n;
  }
}

// How many bytes at the end of text start a UTF-8 sequence that the text does not finish.
size_t UnfinishedTail(std::string_view text) {
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    auto byte = static_cast<uint8_t>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: its lead is further back
    size_t length = byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    return length > back ? back : 0;
  }
  return 0;
}

// Standard output or error. A console is written in UTF-16, so that a name in any script shows
// as it is whatever the console's code page; a file or a pipe gets the program's UTF-8 bytes. A
// character cut between two writes is held until its end comes.
class OutputStream {
 public:
  explicit OutputStream(DWORD which) : which_(which) {}

  void Write(std::string_view text) {
    HANDLE h = ::GetStdHandle(which_);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    if (!::GetConsoleMode(h, &mode)) {
      WriteAll(h, text);
      return;
    }
    held_.append(text);
    size_t tail = UnfinishedTail(held_);
    std::wstring wide = Wide(std::string_view(held_).substr(0, held_.size() - tail));
    held_.erase(0, held_.size() - tail);
    for (size_t done = 0; done < wide.size();) {
      DWORD n = 0;
      auto want = static_cast<DWORD>(wide.size() - done > 8192 ? 8192 : wide.size() - done);
      if (!::WriteConsoleW(h, wide.data() + done, want, &n, nullptr) || n == 0) return;
      done += n;
    }
  }

 private:
  DWORD which_;
  std::string held_;
};

// A typed character as the console layer takes keys: ASCII as it is, anything else as the bytes
// of its UTF-8 sequence, one key each, as a terminal sends them (a character past U+FFFF comes
// as two records, its surrogate halves).
class TypedBytes {
 public:
  // The key record's character; false when it is the first half of a pair, with nothing yet.
  bool Take(wchar_t unit) {
    uint32_t ch = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high_ = unit;
      return false;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (high_ == 0) return false;
      ch = 0x10000 + ((static_cast<uint32_t>(high_) - 0xD800) << 10) + (unit - 0xDC00);
    }
    high_ = 0;
    bytes_.clear();
    next_ = 0;
    AppendUtf8(bytes_, ch);
    return true;
  }
  // The next byte of the character taken last; false when all went.
  bool Next(uint8_t& byte) {
    if (next_ >= bytes_.size()) return false;
    byte = static_cast<uint8_t>(bytes_[next_++]);
    return true;
  }
  void Clear() {
    high_ = 0;
    bytes_.clear();
    next_ = 0;
  }

 private:
  wchar_t high_ = 0;
  std::string bytes_;
  size_t next_ = 0;
};

bool ReadGeometry(HANDLE buffer, ConsoleGeometry& geometry) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(buffer, &info)) return false;
  geometry.columns = info.dwSize.X;
  geometry.rows = info.dwSize.Y;
  geometry.window = WindowRect{info.srWindow.Left, info.srWindow.Top, info.srWindow.Right, info.srWindow.Bottom};
  return true;
}

// Brings a buffer from now to wanted; false when the console refused a set.
bool SetGeometry(HANDLE buffer, const ConsoleGeometry& now, const ConsoleGeometry& wanted) {
  ConsoleSetPlan plan = PlanConsoleSets(now, wanted);
  for (int i = 0; i < plan.count; ++i) {
    const ConsoleSet& set = plan.sets[i];
    if (set.what == ConsoleSet::What::Buffer) {
      if (!::SetConsoleScreenBufferSize(buffer, COORD{static_cast<SHORT>(set.columns), static_cast<SHORT>(set.rows)})) {
        return false;
      }
    } else {
      SMALL_RECT window{static_cast<SHORT>(set.window.left), static_cast<SHORT>(set.window.top),
                        static_cast<SHORT>(set.window.right), static_cast<SHORT>(set.window.bottom)};
      if (!::SetConsoleWindowInfo(buffer, TRUE, &window)) return false;
    }
  }
  return true;
}

// The Windows console: the active screen buffer "CONOUT$" and the standard input handle.
class Win32Console final : public ConsoleDevice {
 public:
  ~Win32Console() override { Close(); }

  std::string ScreenSizes() const override {
    if (foundColumns_ <= 0 || foundRows_ <= 0) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%d x %d needed, %d x %d found", kMinColumns, kMinRows, foundColumns_, foundRows_);
    return text;
  }

  ConsoleOpen Open(bool screen, bool mouse) override {
    Close();
    foundColumns_ = foundRows_ = 0;
    input_ = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    consoleInput_ = input_ != nullptr && input_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(input_, &mode);
    screen_ = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (screen_ == INVALID_HANDLE_VALUE) {
      screen_ = nullptr;
      // Line mode still works on standard input and output.
      return screen ? ConsoleOpen::NoConsole : ConsoleOpen::Ready;
    }
    if (screen && !EnsureScreenSize()) return ConsoleOpen::TooSmall;
    if (consoleInput_) {
      savedInputMode_ = mode;
      inputModeSaved_ = true;
      ::SetConsoleMode(input_, ENABLE_WINDOW_INPUT | (mouse ? ENABLE_MOUSE_INPUT : 0));
    }
    FlushInput();
    return ConsoleOpen::Ready;
  }

  void Close() override {
    EndScreen();
    if (titleSaved_) ::SetConsoleTitleW(savedTitle_.c_str());
    titleSaved_ = false;
    if (input_ != nullptr) {
      FlushInput();
      if (inputModeSaved_) ::SetConsoleMode(input_, savedInputMode_);
      inputModeSaved_ = false;
      input_ = nullptr;
      consoleInput_ = false;
    }
    if (screen_ != nullptr) {
      // The user's window and buffer as they were before the run grew them.
      ConsoleGeometry now;
      if (geometrySaved_ && ReadGeometry(screen_, now)) SetGeometry(screen_, now, savedGeometry_);
      geometrySaved_ = false;
      ::CloseHandle(screen_);
      screen_ = nullptr;
    }
    inputEnded_ = false;
  }

  void InstallCtrlHandler(CtrlHandler handler) override {
    g_ctrlHandler = handler;
    ::SetConsoleCtrlHandler(OnCtrlEvent, TRUE);
  }

  void RemoveCtrlHandler() override {
    ::SetConsoleCtrlHandler(OnCtrlEvent, FALSE);
    g_ctrlHandler = nullptr;
  }

  void SetTitle(const char* title) override {
    if (screen_ == nullptr) return;
    if (!titleSaved_) {  // the user's title, put back when the console is given back
      // An empty title is a title too: Wine's console on a terminal starts with none, and the
      // terminal would otherwise keep the program's.
      wchar_t saved[1024] = {};
      ::SetLastError(ERROR_SUCCESS);
      titleSaved_ = ::GetConsoleTitleW(saved, 1024) > 0 || ::GetLastError() == ERROR_SUCCESS;
      savedTitle_ = saved;
    }
    ::SetConsoleTitleW(Wide(title).c_str());
  }

  void WriteStdout(std::string_view text) override { stdout_.Write(text); }
  void WriteStderr(std::string_view text) override { stderr_.Write(text); }
  bool StderrIsTerminal() const override {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  }

  ReadResult ReadKey(KeyEvent& key, bool wait) override {
    if (inputEnded_) return ReadResult::End;
    HANDLE in = input_ != nullptr ? input_ : ::GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return wait ? End() : ReadResult::None;
    if (consoleInput_) {
      uint8_t byte = 0;
      if (typed_.Next(byte)) {  // the rest of a character typed beyond ASCII
        key = KeyEvent{};
        key.ch = byte;
        return ReadResult::Key;
      }
      // Long stages poll after every small step; the console is asked at most every few
      // milliseconds.
      if (!wait) {
        ULONGLONG now = ::GetTickCount64();
        if (now - lastPoll_ < kPollIntervalMs) return ReadResult::None;
        lastPoll_ = now;
      }
      if (wait) ::WaitForSingleObject(in, 1);
      DWORD pending = 0;
      if (!::GetNumberOfConsoleInputEvents(in, &pending) || pending == 0) return ReadResult::None;
      INPUT_RECORD record;
      DWORD read = 0;
      if (!::ReadConsoleInputW(in, &record, 1, &read) || read == 0) return ReadResult::None;
      if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return ReadResult::None;
      if (!KeyCharacter(record.Event.KeyEvent.uChar.UnicodeChar, key.ch)) return ReadResult::None;
      key.vk = record.Event.KeyEvent.wVirtualKeyCode;
      key.control = record.Event.KeyEvent.dwControlKeyState;
      // Some consoles (Wine on a terminal) deliver Esc, Enter, Tab and Backspace without their
      // character; the key rules go by the character.
      if (key.ch == 0 && (key.vk == kVkEscape || key.vk == kVkReturn || key.vk == kVkBack || key.vk == 0x09)) {
        key.ch = static_cast<uint8_t>(key.vk);
      }
      return ReadResult::Key;
    }
    // A pipe or a file answers waiting prompts only.
    if (!wait) return ReadResult::None;
    if (::GetFileType(in) == FILE_TYPE_PIPE) {
      // An empty pipe: wait a moment rather than block. When the pipe cannot be asked, the
      // read below blocks, which a waiting prompt allows.
      DWORD available = 0;
      if (::PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
        ::Sleep(1);
        return ReadResult::None;
      }
    }
    uint8_t byte = 0;
    DWORD n = 0;
    if (!::ReadFile(in, &byte, 1, &n, nullptr) || n == 0) return End();
    key = KeyFromByte(byte);
    return ReadResult::Key;
  }

  bool InputIsTerminal() const override { return consoleInput_; }

  void FlushInput() override {
    typed_.Clear();
    if (consoleInput_) ::FlushConsoleInputBuffer(input_);
  }

  // A screen buffer of the program's own, the size of the visible window, made active for the
  // run: the user's buffer and its scrollback stay as they were.
  bool BeginScreen(bool mouse) override {
    if (buffer_ != nullptr || screen_ == nullptr) return false;
    g_ctrlCTyped = false;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(screen_, &info)) return false;
    SHORT columns = static_cast<SHORT>(info.srWindow.Right - info.srWindow.Left + 1);
    SHORT rows = static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top + 1);
    if (columns < kMinColumns || rows < kMinRows) return false;
    buffer_ = ::CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (buffer_ == INVALID_HANDLE_VALUE) {
      buffer_ = nullptr;
      return false;
    }
    ConsoleGeometry made;
    if (ReadGeometry(buffer_, made)) SetGeometry(buffer_, made, WholeBuffer(columns, rows));
    ::SetConsoleActiveScreenBuffer(buffer_);
    if (consoleInput_) {
      // Quick edit off (extended flags without it): a click reaches the program, not a selection.
      ::SetConsoleMode(input_, ENABLE_WINDOW_INPUT | (mouse ? ENABLE_MOUSE_INPUT | ENABLE_EXTENDED_FLAGS : 0));
    }
    cells_.Resize(columns, rows);
    shown_.Resize(0, 0);
    return true;
  }

  void EndScreen() override {
    if (buffer_ == nullptr) return;
    ::SetConsoleActiveScreenBuffer(screen_);
    ::CloseHandle(buffer_);
    buffer_ = nullptr;
    if (inputModeSaved_) ::SetConsoleMode(input_, savedInputMode_);
  }

  void Present() override {
    if (buffer_ == nullptr) return;
    const int width = cells_.Width(), height = cells_.Height();
    bool whole = shown_.Width() != width || shown_.Height() != height;
    if (whole) shown_.Resize(width, height);
    int top = height, bottom = -1;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (whole || cells_.At(x, y) != shown_.At(x, y)) {
          top = y < top ? y : top;
          bottom = y;
          break;
        }
      }
    }
    if (bottom >= top) {
      std::vector<CHAR_INFO> cells(static_cast<size_t>(width) * (bottom - top + 1));
      for (int y = top; y <= bottom; ++y) {
        for (int x = 0; x < width; ++x) {
          const Cell& c = cells_.At(x, y);
          // A wide character is its two cells, marked as its left and right halves; combining
          // marks are not drawn.
          Cell drawn = ShownCell(cells_, x, y);
          WORD half = 0;
          if (drawn.ch == kWideRight) {
            drawn.ch = cells_.At(x - 1, y).ch;
            half = COMMON_LVB_TRAILING_BYTE;
          } else if (DisplayWidth(drawn.ch) == 2) {
            half = COMMON_LVB_LEADING_BYTE;
          }
          CHAR_INFO& out = cells[static_cast<size_t>(y - top) * width + x];
          out.Char.UnicodeChar = static_cast<WCHAR>(drawn.ch < 0x10000 ? drawn.ch : '?');
          out.Attributes = static_cast<WORD>(drawn.attr | half);
          shown_.At(x, y) = c;
        }
      }
      COORD size{static_cast<SHORT>(width), static_cast<SHORT>(bottom - top + 1)};
      SMALL_RECT area{0, static_cast<SHORT>(top), static_cast<SHORT>(width - 1), static_cast<SHORT>(bottom)};
      ::WriteConsoleOutputW(buffer_, cells.data(), size, COORD{0, 0}, &area);
    }
    if (whole || shown_.cursorX != cells_.cursorX || shown_.cursorY != cells_.cursorY ||
        shown_.cursorVisible != cells_.cursorVisible) {
      ::SetConsoleCursorPosition(buffer_, COORD{static_cast<SHORT>(cells_.cursorX), static_cast<SHORT>(cells_.cursorY)});
      CONSOLE_CURSOR_INFO cursor{25, cells_.cursorVisible ? TRUE : FALSE};
      ::SetConsoleCursorInfo(buffer_, &cursor);
      shown_.cursorX = cells_.cursorX;
      shown_.cursorY = cells_.cursorY;
      shown_.cursorVisible = cells_.cursorVisible;
    }
  }

  bool ReadInput(InputRecord& record, int timeoutMs) override {
    if (buffer_ == nullptr || !consoleInput_) return false;
    uint8_t byte = 0;
    if (typed_.Next(byte)) {  // the rest of a character typed beyond ASCII
      record = InputRecord{};
      record.type = InputRecord::Type::Key;
      record.keyDown = true;
      record.ch = byte;
      return true;
    }
    if (g_ctrlCTyped.exchange(false)) {
      record = KeyInput(KeyEvent{0x03, 'C', LEFT_CTRL_PRESSED});
      return true;
    }
    if (::WaitForSingleObject(input_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return false;
    INPUT_RECORD in;
    DWORD read = 0;
    if (!::ReadConsoleInputW(input_, &in, 1, &read) || read == 0) return false;
    record = InputRecord{};
    switch (in.EventType) {
      case KEY_EVENT:
        record.type = InputRecord::Type::Key;
        record.keyDown = in.Event.KeyEvent.bKeyDown != 0;
        // A released key's character is not typed; the first half of a pair is no key yet.
        if (record.keyDown && !KeyCharacter(in.Event.KeyEvent.uChar.UnicodeChar, record.ch)) {
          record = InputRecord{};
          return true;
        }
        record.vk = in.Event.KeyEvent.wVirtualKeyCode;
        record.control = in.Event.KeyEvent.dwControlKeyState;
        if (record.ch == 0 && (record.vk == kVkEscape || record.vk == kVkReturn || record.vk == kVkBack)) {
          record.ch = static_cast<uint8_t>(record.vk);
        }
        return true;
      case MOUSE_EVENT:
        record.type = InputRecord::Type::Mouse;
        record.x = in.Event.MouseEvent.dwMousePosition.X;
        record.y = in.Event.MouseEvent.dwMousePosition.Y;
        record.buttons = in.Event.MouseEvent.dwButtonState & (kMouseLeft | kMouseRight);
        record.mouseFlags = in.Event.MouseEvent.dwEventFlags;
        if (record.mouseFlags & kMouseWheeled) {  // the high word is the turn, up when positive
          record.buttons = static_cast<int16_t>(HIWORD(in.Event.MouseEvent.dwButtonState)) > 0 ? kWheelUp : kWheelDown;
        }
        record.control = in.Event.MouseEvent.dwControlKeyState;
        return true;
      case WINDOW_BUFFER_SIZE_EVENT: {
        // The screen keeps the size it was laid out for: the buffer and its window are set back,
        // and all of it is drawn again. Nothing is set when the size holds: the console answers
        // every buffer set, even one that changes nothing, with another of these records.
        ConsoleGeometry now;
        const ConsoleGeometry held = WholeBuffer(cells_.Width(), cells_.Height());
        if (ReadGeometry(buffer_, now) && now != held) {
          SetGeometry(buffer_, now, held);
          shown_.Resize(0, 0);
        }
        // The size the screen keeps, so that nothing is laid out anew.
        record.type = InputRecord::Type::Resize;
        record.width = static_cast<int16_t>(held.columns);
        record.height = static_cast<int16_t>(held.rows);
        return true;
      }
      case FOCUS_EVENT:
        record.type = InputRecord::Type::Focus;
        record.focus = in.Event.FocusEvent.bSetFocus != 0;
        return true;
      default:
        return true;  // a record of no interest: a None record
    }
  }

 private:
  ReadResult End() {
    inputEnded_ = true;
    return ReadResult::End;
  }

  // The key's character, or the first byte of it beyond ASCII (the others follow as keys of
  // their own); false when the record brings no key yet.
  bool KeyCharacter(wchar_t unit, uint8_t& ch) {
    if (unit < 0x80) {
      ch = static_cast<uint8_t>(unit);
      return true;
    }
    return typed_.Take(unit) && typed_.Next(ch);
  }

  // The full screen is drawn in a buffer the size of the console window: a window smaller than
  // the screen needs is grown where the console can show that much (the buffer with it, and both
  // put back by Close), and otherwise the console is too small.
  bool EnsureScreenSize() {
    ConsoleGeometry now;
    if (!ReadGeometry(screen_, now)) return true;
    foundColumns_ = now.window.Columns();
    foundRows_ = now.window.Rows();
    COORD largest = ::GetLargestConsoleWindowSize(screen_);
    std::optional<ConsoleGeometry> wanted = ScreenGeometry(now, largest.X, largest.Y, kMinColumns, kMinRows);
    if (!wanted) return false;
    if (*wanted == now) return true;
    savedGeometry_ = now;
    geometrySaved_ = true;
    ConsoleGeometry grown;
    return SetGeometry(screen_, now, *wanted) && ReadGeometry(screen_, grown) && grown.window.Columns() >= kMinColumns &&
           grown.window.Rows() >= kMinRows;
  }

  static constexpr ULONGLONG kPollIntervalMs = 5;
  ULONGLONG lastPoll_ = 0;
  HANDLE input_ = nullptr;
  HANDLE screen_ = nullptr;
  HANDLE buffer_ = nullptr;  // the program's own screen buffer while the full screen is up
  ScreenModel shown_;
  bool consoleInput_ = false;
  ConsoleGeometry savedGeometry_;  // the user's buffer and window, when the run grew them
  bool geometrySaved_ = false;
  int foundColumns_ = 0;  // the console window found at Open
  int foundRows_ = 0;
  bool titleSaved_ = false;
  std::wstring savedTitle_;
  bool inputEnded_ = false;
  bool inputModeSaved_ = false;
  DWORD savedInputMode_ = 0;
  OutputStream stdout_{STD_OUTPUT_HANDLE};
  OutputStream stderr_{STD_ERROR_HANDLE};
  TypedBytes typed_;
};

}  // namespace

std::unique_ptr<ConsoleDevice> MakeSystemConsole() { return std::make_unique<Win32Console>(); }

}  // namespace tarvos::platform
