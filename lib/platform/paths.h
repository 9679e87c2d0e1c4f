#pragma once

// Path and name rules shared by the directory searches of every platform and by jpgdump's
// expansion of its names, so that a pattern means the same files on Linux and Windows.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel::platform {

// Whether `c` ends a path component: '/' everywhere; on Windows also '\' and the ':' of a drive.
bool isPathSeparator(char c);
// The position of the last separator in `path`, or npos.
size_t lastSeparator(std::string_view path);
// The separator to append to `path` before a name: '/', or '\' on Windows when that is what the
// path itself last used. Listings then show names the way they were typed.
char separatorFor(std::string_view path);
// `path` without trailing '/' (and '\' on Windows); a root such as "/" or "C:\" stays whole.
std::string withoutTrailingSeparators(std::string path);

// Whether `text` holds a `*` or `?`.
bool hasWildcard(std::string_view text);
// The wildcard rules of the Windows directory search, applied to whole names on every platform:
// `*` any run of characters, `?` exactly one character (UTF-8 sequences count as one), ASCII
// letters in any case, and a trailing ".*" also matches names without a dot, so "*.*" matches
// every name.
bool wildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace tessel::platform
