// File names and other text of the program, all of it UTF-8: case, the characters a name shows,
// and how it is cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

// One byte of UTF-8 text: ASCII letters change case, every other byte stays.
char LowerChar(char c);
// The text with its ASCII letters in lower case.
std::string LowerAscii(std::string text);
char UpperChar(char c);
// Upper-cases as the file system compares names: every letter on Windows (through the
// system's upper-case table, as NTFS does), ASCII letters on POSIX.
void UpperInPlace(std::string& text);
// The characters a file name shows (it is UTF-8 on both systems).
std::vector<uint32_t> DecodeFileName(const std::string& name);
// The first characters of a file name that fit width cells of the screen (a wide character
// takes two, a combining mark none), never cutting a UTF-8 sequence.
std::string FileNamePrefix(const std::string& name, size_t width);
// A path shortened to width cells in its middle: its start up to its first folder, "…", and as
// much of its end as fits; the file name stays whole where it fits at all, else its end is kept.
// A path that fits is returned as it is.
std::vector<uint32_t> ShortenPath(const std::vector<uint32_t>& path, size_t width);
inline constexpr uint32_t kEllipsis = 0x2026;
// A file name without its last character (a whole UTF-8 sequence).
void DropLastChar(std::string& name);

}  // namespace tarvos::platform
