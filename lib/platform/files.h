#pragma once

// File calls beside the mapped input and the output file (platform/mapped_file.h): removing a
// file, copying its times, searching a directory.
//
// The POSIX implementation lives in platform/posix/, the Windows one in platform/windows/.

#include <string>
#include <vector>

namespace tessel::platform {

// Removes a file; returns false when that failed.
bool deleteFile(const std::string& fileName) noexcept;

// Gives `target` the access and modification times of `source` (creation time too where the
// platform can set it). Throws msg::kTimesOpenFailed, kTimesReadFailed or kTimesWriteFailed.
void copyFileTimes(const std::string& source, const std::string& target);

// --- Directory search --------------------------------------------------------------------------

struct DirEntry {
  std::string name;  // the entry's own name, without its directory
  bool isDirectory = false;
};

// The entries that `pattern` names. A pattern without wildcards names one file or directory (the
// entry is named by the pattern's last component); `*` and `?` in its last component match names
// in that directory, letters in any case (`*.*` matches every name).
// Entries come sorted by the bytes of their names; "." and ".." never appear. A symbolic link
// found by a wildcard is never reported as a directory, so recursion cannot loop. Empty when
// nothing matches or the directory cannot be read.
std::vector<DirEntry> findFiles(const std::string& pattern);

}  // namespace tessel::platform
