#include "save/names.h"

namespace tarvos::save {

std::string FileNamePart(const std::string& path) { return path.substr(FileNameIndex(path)); }

std::string ReplaceExtension(const std::string& name, const std::string& newExtension) {
  // Only the file-name part is looked at: a dot in a folder name is not an extension.
  size_t start = FileNameIndex(name);
  size_t from = name.size() >= start + 4 ? name.size() - 4 : start;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot >= from) return name.substr(0, dot) + newExtension;
  return name + newExtension;
}

bool HasLowerCase(const std::string& name) {
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || b >= 0x80) return true;
  }
  return false;
}

std::optional<platform::FileInfo> ReadFileInfo(std::string& path) {
  platform::FileInfo info;
  if (!platform::LookUp(path, info)) return std::nullopt;
  size_t index = FileNameIndex(path);
  if (path.size() - index >= info.name.size() && !info.name.empty()) path = path.substr(0, index) + info.name;
  return info;
}

}  // namespace tarvos::save
