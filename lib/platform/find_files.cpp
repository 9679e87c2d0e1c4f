#include <algorithm>

#include "platform/directory_listing.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tessel::platform {

std::vector<DirEntry> findFiles(const std::string& rawPattern) {
  std::vector<DirEntry> entries;
  const std::string pattern = withoutTrailingSeparators(rawPattern);
  if (pattern.empty()) return entries;
  const size_t slash = lastSeparator(pattern);
  const std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);

  if (!hasWildcard(last)) {
    bool isDirectory = false;
    if (findEntry(pattern, isDirectory))
      entries.push_back({last.empty() ? pattern : last, isDirectory});
    return entries;
  }
  const std::string prefix =
      slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  const auto wanted = [&last](std::string_view name) {
    return name != "." && name != ".." && wildcardMatch(last, name);
  };
  if (!listDirectory(prefix, wanted, entries)) return {};
  // Sorted by the bytes of the UTF-8 names, so that listings agree on every platform.
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace tessel::platform
