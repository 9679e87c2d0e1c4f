#pragma once

// The operating-system calls behind mapped input files, output files, file times and directory
// search. Every function that fails throws RawLayerException; the file-call failures use the
// "File %s: failed on %s: %s" form with the Windows operation names, whatever the platform.
//
// The POSIX implementation lives in platform/posix/, the Windows one in platform/windows/.

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::platform {

using NativeHandle = intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1;

// --- Read-only mapping of a whole file -----------------------------------------------------

// Opens an existing regular file for reading (shared reading, sequential access). Fails on
// "CreateFile".
NativeHandle openForReading(const std::string& fileName);
// The file's size. Files of 2 GiB or more are refused on "GetFileSize".
uint32_t fileSize(NativeHandle file, const std::string& fileName);
// Creates the mapping object; a zero-byte file cannot be mapped and fails on "CreateFileMapping".
NativeHandle createMapping(NativeHandle file, uint32_t size, const std::string& fileName);
// Maps `size` bytes read-only; fails on "MapViewOfFile".
const uint8_t* mapView(NativeHandle file, NativeHandle mapping, uint32_t size,
                       const std::string& fileName);
void unmapView(const uint8_t* view, uint32_t size) noexcept;
// Says that the bytes [begin, end) of a view this process mapped will not be read again soon:
// the whole pages among them leave the process's memory (a later read brings them back from the
// file). Does nothing for memory that is not such a view, or where the system has no such call.
void releaseViewPages(const uint8_t* begin, const uint8_t* end) noexcept;
void closeMapping(NativeHandle mapping) noexcept;
void closeFile(NativeHandle file) noexcept;

// --- Output files ----------------------------------------------------------------------------

// Opens or creates `fileName` for reading and writing without truncating it, for this process
// alone: a file that this process has mapped, or that another writer holds, is refused on
// "CreateFile". `created` tells whether the call created the file.
NativeHandle openForWriting(const std::string& fileName, bool& created);
// Gives the output `file` (from openForWriting, named `fileName`) exactly the content `data`, in
// one step that either happens whole or not at all: any failure ("CreateFile", "WriteFile",
// "ReplaceFile") leaves the file as it was, byte for byte. An output with other hard links is
// refused, as is one whose owner this process cannot give a new file. Closes `file` and sets it
// to kInvalidHandle on every way out.
void replaceFileContents(NativeHandle& file, const std::string& fileName, const uint8_t* data,
                         size_t length);
// Removes a file; returns false when that failed.
bool deleteFile(const std::string& fileName) noexcept;

// Gives `target` the access and modification times of `source` (creation time too where the
// platform can set it). Throws "CreateFile failed", "GetFileTime failed" or "SetFileTime failed".
void copyFileTimes(const std::string& source, const std::string& target);

// --- Directory search --------------------------------------------------------------------------

struct DirEntry {
  std::string name;  // the entry's own name, without its directory
  bool isDirectory = false;
};

// The entries that `pattern` names. A pattern without wildcards names one file or directory (the
// entry is named by the pattern's last component); `*` and `?` in its last component match names
// in that directory, letters in any case (`*.*` matches every name).
// Entries come sorted by name; "." and ".." never appear. A symbolic link found by a wildcard is
// never reported as a directory, so recursion cannot loop. Returns false when nothing matches or
// the directory cannot be read.
bool findFiles(const std::string& pattern, std::vector<DirEntry>& entries);

}  // namespace tessel::platform
