// Windows implementation of the file calls. An input is opened for shared reading only and mapped
// as one view, so no one may write it while it is read; an output is opened without sharing, so
// a file this process has mapped (the metadata source) cannot be the output, and it is replaced
// whole: the new content goes to a sibling file, reaches the disk and is swapped in.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/directory_listing.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/windows/wide_text.h"

namespace tessel::platform {

namespace {

HANDLE handleOf(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

NativeHandle nativeOf(HANDLE handle) {
  return reinterpret_cast<NativeHandle>(handle);
}

[[noreturn]] void failOn(const std::string& fileName, const char* operation, DWORD error) {
  throwWindowsError(fileName, operation, error);
}

// The full name of the file behind `file` (links resolved, so that a link stays a link), or the
// full form of `fileName` when the system cannot tell.
std::wstring finalPathOf(HANDLE file, const std::wstring& fileName) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(file, path.data(), DWORD(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) break;
    if (length < path.size()) return path.substr(0, length);
    path.assign(length + 1, L'\0');
  }
  const DWORD length = GetFullPathNameW(fileName.c_str(), 0, nullptr, nullptr);
  if (length == 0) return fileName;
  path.assign(length, L'\0');
  const DWORD written = GetFullPathNameW(fileName.c_str(), length, path.data(), nullptr);
  return written > 0 && written < length ? path.substr(0, written) : fileName;
}

// Creates a new, empty sibling of `target` (".<name>.<six hex digits>" in the same directory).
HANDLE createSibling(const std::wstring& target, std::wstring& sibling) {
  const size_t slash = target.find_last_of(L"\\/");
  const std::wstring directory = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
  const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
  uint32_t seed = uint32_t(GetTickCount64()) * 2654435761u ^ GetCurrentProcessId();
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 1664525u + 1013904223u;
    wchar_t suffix[8];
    for (int i = 0; i < 6; ++i) suffix[i] = L"0123456789abcdef"[(seed >> (4 * i + 8)) & 15];
    suffix[6] = L'\0';
    sibling = directory + L"." + name + L"." + suffix;
    HANDLE file = CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// The file's size. Offsets inside a file are signed 32-bit numbers, so 2 GiB and more cannot be
// handled.
uint32_t checkedSize(HANDLE file, const std::string& fileName) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) failOn(fileName, msg::kOpGetFileSize, GetLastError());
  if (size.QuadPart < 0 || size.QuadPart > 0x7FFFFFFF) {
    failOn(fileName, msg::kOpGetFileSize, ERROR_FILE_TOO_LARGE);
  }
  return static_cast<uint32_t>(size.QuadPart);
}

}  // namespace

}  // namespace tessel::platform

namespace tessel {

using platform::failOn;
using platform::handleOf;
using platform::nativeOf;

// --- Mapped input files ------------------------------------------------------------------------

MappedFile::MappedFile(const std::string& fileName) {
  HANDLE file =
      CreateFileW(platform::widen(fileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) failOn(fileName, msg::kOpCreateFile, GetLastError());
  file_ = nativeOf(file);
  try {
    // Devices and pipes (CON, NUL, \\.\pipe\...) are no files to map.
    if (GetFileType(file) != FILE_TYPE_DISK) {
      failOn(fileName, msg::kOpCreateFile, ERROR_INVALID_FUNCTION);
    }
    size_ = platform::checkedSize(file, fileName);
    // An empty file cannot be mapped; the system says so with this error.
    if (size_ == 0) failOn(fileName, msg::kOpCreateFileMapping, ERROR_FILE_INVALID);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, size_, nullptr);
    if (!mapping) failOn(fileName, msg::kOpCreateFileMapping, GetLastError());
    mapping_ = nativeOf(mapping);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size_);
    if (!view) failOn(fileName, msg::kOpMapViewOfFile, GetLastError());
    view_ = static_cast<const uint8_t*>(view);
  } catch (...) {
    close();
    throw;
  }
}

// The working set is the system's to trim: nothing to do.
void MappedFile::releasePages(const uint8_t*, const uint8_t*) const noexcept {}

void MappedFile::close() noexcept {
  if (view_) UnmapViewOfFile(view_);
  view_ = nullptr;
  size_ = 0;
  if (mapping_ != platform::kInvalidHandle) CloseHandle(handleOf(mapping_));
  mapping_ = platform::kInvalidHandle;
  if (file_ != platform::kInvalidHandle) CloseHandle(handleOf(file_));
  file_ = platform::kInvalidHandle;
}

// --- Output files --------------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& fileName) : name_(fileName) {
  const std::wstring name = platform::widen(fileName);
  // No sharing: refused while any handle to the file is open, this process's mapped inputs
  // included, and no one else may open it until it is closed.
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) failOn(fileName, msg::kOpCreateFile, GetLastError());
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    if (created) DeleteFileW(name.c_str());
    failOn(fileName, msg::kOpCreateFile, ERROR_INVALID_FUNCTION);
  }
  handle_ = nativeOf(file);
  created_ = created;
  try {
    platform::checkedSize(file, fileName);
  } catch (...) {
    close();
    throw;
  }
}

void OutputFile::close() noexcept {
  if (handle_ != platform::kInvalidHandle) CloseHandle(handleOf(handle_));
  handle_ = platform::kInvalidHandle;
}

namespace {

// Writes all of `data` to the sibling `out` and brings it to the disk: only data that has reached
// it may replace the old file. Returns 0, or the system's error.
DWORD writeAll(HANDLE out, const uint8_t* data, size_t length) {
  while (length > 0) {
    const DWORD chunk = DWORD(std::min<size_t>(length, size_t{1} << 30));
    DWORD written = 0;
    if (!WriteFile(out, data, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_DISK_FULL;
    data += written;
    length -= written;
  }
  return FlushFileBuffers(out) ? 0 : GetLastError();
}

}  // namespace

// The new content goes to a sibling file in the output's directory and is flushed to the disk;
// then an existing output is swapped for it with ReplaceFileW, which keeps the old file's
// attributes, access-control list and creation time, and a new one has the sibling moved over its
// empty placeholder with MoveFileExW. Either the old file stays, untouched, or the whole new one
// takes its place. An output with other hard links is refused, since they would go on naming the
// old content.
void OutputFile::replaceContents(const uint8_t* data, size_t length) {
  HANDLE handle = handleOf(handle_);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info);
  const DWORD infoError = GetLastError();
  const std::wstring target = platform::finalPathOf(handle, platform::widen(name_));
  close();
  if (!known) failOn(name_, msg::kOpReplaceFile, infoError);
  if (info.nNumberOfLinks > 1) {
    fail(formatText(msg::kFileOperationFailed, name_.c_str(), msg::kOpReplaceFile,
                    msg::kHardLinkedOutput));
  }

  std::wstring sibling;
  HANDLE out = platform::createSibling(target, sibling);
  if (out == INVALID_HANDLE_VALUE) failOn(name_, msg::kOpCreateFile, GetLastError());
  const DWORD writeError = writeAll(out, data, length);
  CloseHandle(out);
  if (writeError != 0) {
    DeleteFileW(sibling.c_str());
    failOn(name_, msg::kOpWriteFile, writeError);
  }
  const bool swapped =
      created_ ? MoveFileExW(sibling.c_str(), target.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               : ReplaceFileW(target.c_str(), sibling.c_str(), nullptr, 0, nullptr, nullptr);
  if (!swapped) {
    const DWORD error = GetLastError();
    DeleteFileW(sibling.c_str());
    failOn(name_, msg::kOpReplaceFile, error);
  }
}

}  // namespace tessel

namespace tessel::platform {

bool deleteFile(const std::string& fileName) noexcept {
  try {
    return DeleteFileW(widen(fileName).c_str()) != 0;
  } catch (...) {
    return false;
  }
}

void copyFileTimes(const std::string& source, const std::string& target) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE from = CreateFileW(widen(source).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (from == INVALID_HANDLE_VALUE) fail(msg::kTimesOpenFailed);
  FILETIME creation, access, write;
  const bool gotTimes = GetFileTime(from, &creation, &access, &write);
  CloseHandle(from);
  if (!gotTimes) fail(msg::kTimesReadFailed);

  HANDLE to = CreateFileW(widen(target).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (to == INVALID_HANDLE_VALUE) fail(msg::kTimesOpenFailed);
  // Creation, access and write times: Windows can set all three.
  const bool setTimes = SetFileTime(to, &creation, &access, &write);
  CloseHandle(to);
  if (!setTimes) fail(msg::kTimesWriteFailed);
}

// --- Directory search --------------------------------------------------------------------------

bool findEntry(const std::string& path, bool& isDirectory) {
  // A name that is given whole is followed, links and junctions included.
  const DWORD attributes = GetFileAttributesW(widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

// Every entry of the directory is listed and matched by the same rules as on Linux: the system's
// own matching would also compare the 8.3 short names, so that "*.jpg" finds "y.jpg_" (short name
// "Y~1.JPG").
bool listDirectory(const std::string& prefix, const std::function<bool(std::string_view)>& wanted,
                   std::vector<DirEntry>& entries) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(widen(prefix + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = narrow(data.cFileName);
    if (!wanted(name)) continue;
    // A symbolic link or junction is never a directory to recurse into, so recursion cannot loop.
    const DWORD attributes = data.dwFileAttributes;
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                             (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    entries.push_back({name, isDirectory});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

}  // namespace tessel::platform
