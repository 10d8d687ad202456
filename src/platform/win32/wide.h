// Text at the edge of the Windows layer: the program keeps UTF-8, the system takes and gives
// UTF-16. Every path handed to a file function goes through WidePath.
#pragma once

#include <string>
#include <string_view>

namespace tarvos::platform {

// UTF-8 to UTF-16 and back; a broken sequence becomes U+FFFD.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// A path as the wide file functions take it: as given while its full form is short, the
// "\\?\" form of its full path (or "\\?\UNC\" for a share) once it reaches the length where the
// system's own limit (MAX_PATH, less the 12 a folder needs for its 8.3 names) would refuse it.
std::wstring WidePath(const std::string& path);

// The full path of a wide name (the system's rules: current folder, "." and "..", "/" taken as
// "\"); empty when it cannot be formed.
std::wstring FullWidePath(const std::wstring& path);

// Every letter upper-cased as the file system compares names (one UTF-16 unit for one).
std::wstring UpperWide(std::wstring text);

}  // namespace tarvos::platform
