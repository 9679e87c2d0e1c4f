#pragma once

// The platform's halves of findFiles (platform/files.h); the pattern rules, the filter and the
// order are the same everywhere (platform/find_files.cpp).

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace tessel::platform {

// Whether `path` names something, and whether that is a directory (links followed).
bool findEntry(const std::string& path, bool& isDirectory);

// Appends the entries of the directory that `prefix` names (empty for the current one, otherwise
// ending in a separator) whose names `wanted` accepts. A symbolic link is never a directory here.
// Returns false when the directory cannot be read.
bool listDirectory(const std::string& prefix, const std::function<bool(std::string_view)>& wanted,
                   std::vector<DirEntry>& entries);

}  // namespace tessel::platform
