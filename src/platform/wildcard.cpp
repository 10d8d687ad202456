#include "platform/file.h"

namespace tarvos::platform {

namespace {
char Fold(char c, bool ignoreCase) {
  return (ignoreCase && c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c;
}
}  // namespace

bool MatchWildcard(const char* pattern, const char* name, bool ignoreCase) {
  // Greedy match with one backtrack point: the last "*" seen.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' && (*pattern == '?' || Fold(*pattern, ignoreCase) == Fold(*name, ignoreCase))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace tarvos::platform
