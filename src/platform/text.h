// Upper- and lower-casing of 8-bit text as the system does it.
#pragma once

#include <string>

namespace tarvos::platform {

char LowerChar(char c);
char UpperChar(char c);
void UpperInPlace(std::string& text);

}  // namespace tarvos::platform
