#include "platform/win32/wide.h"

#include <windows.h>

namespace tarvos::platform {

namespace {

// The longest path that every file function takes without the "\\?\" form: CreateDirectory
// stops 12 short of MAX_PATH.
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length, nullptr, nullptr);
  }
  return utf8;
}

std::wstring FullWidePath(const std::wstring& path) {
  if (path.empty()) return {};
  std::wstring full(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return {};
    if (length < full.size()) {
      full.resize(length);
      return full;
    }
    full.assign(length + 1, L'\0');  // the size it needs, terminator included
  }
  return {};
}

std::wstring WidePath(const std::string& path) {
  std::wstring wide = Wide(path);
  // Already in the system's own form ("\\?\", "\\.\" for a device): taken as it is.
  if (StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return wide;
  // A short name may still be long in full, below a long current folder.
  if (wide.size() >= kPlainPathLimit || !(wide.size() >= 3 && wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/'))) {
    std::wstring full = FullWidePath(wide);
    if (full.size() >= kPlainPathLimit) {
      return StartsWith(full, L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    }
  }
  return wide;
}

std::wstring UpperWide(std::wstring text) {
  if (text.empty()) return text;
  std::wstring upper(text.size(), L'\0');
  int length = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                               upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
  if (length != static_cast<int>(text.size())) return text;
  return upper;
}

}  // namespace tarvos::platform
