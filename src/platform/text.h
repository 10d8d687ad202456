// Upper- and lower-casing of 8-bit text as the system does it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

char LowerChar(char c);
char UpperChar(char c);
void UpperInPlace(std::string& text);
// The characters a file name shows: UTF-8 on POSIX, the ANSI code page (1251) on Windows.
std::vector<uint32_t> DecodeFileName(const std::string& name);
// The first characters of a file name that fit width cells of the screen (a wide character
// takes two, a combining mark none), in the name's own encoding.
std::string FileNamePrefix(const std::string& name, size_t width);
// A file name without its last character (a whole UTF-8 sequence on POSIX).
void DropLastChar(std::string& name);

}  // namespace tarvos::platform
