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
// The first count characters of a file name, in its own encoding.
std::string FileNamePrefix(const std::string& name, size_t count);

}  // namespace tarvos::platform
