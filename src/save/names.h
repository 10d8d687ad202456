// Helpers for the names of hive, backup, log and output files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/file.h"

namespace tarvos::save {

using platform::FileNameIndex;
// The text after the last folder separator.
std::string FileNamePart(const std::string& path);

// Replaces the extension (a "." among the last four characters of the file-name part, the one
// nearest the end) with newExtension, which starts with its dot; appends it when there is none.
std::string ReplaceExtension(const std::string& name, const std::string& newExtension);

// True when the name holds a lower-case letter or any byte of 0x80 or more.
bool HasLowerCase(const std::string& name);

// Looks the file up. When found, and the file-name part of path is at least as long as the name
// as the file system stores it, path takes that spelling.
std::optional<platform::FileInfo> ReadFileInfo(std::string& path);

}  // namespace tarvos::save
