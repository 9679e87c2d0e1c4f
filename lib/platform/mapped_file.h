#pragma once

// The files the system reads and writes: an input mapped whole and read in place, an output given
// its new content in one step. Each object owns its system handles for its whole life; the
// implementations are per platform (platform/posix/files_posix.cpp,
// platform/windows/files_windows.cpp). Every failure throws "File %s: failed on %s: %s" naming
// the Windows call of the failed step, whatever the platform.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tessel {

namespace platform {
// A file descriptor or a Windows handle.
using NativeHandle = intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1;
}  // namespace platform

// A read-only mapping of a whole input file. Parsers read through `view` and never copy the
// bytes. Movable, not copyable; destroying it unmaps and closes.
class MappedFile {
 public:
  // Opens `fileName` for shared reading (sequential access) and maps it whole. Fails on
  // "CreateFile" (missing, no regular file), "GetFileSize" (2 GiB or more), "CreateFileMapping"
  // (an empty file, which cannot be mapped) or "MapViewOfFile".
  explicit MappedFile(const std::string& fileName);
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* view() const { return view_; }
  uint32_t size() const { return size_; }
  // Says that the bytes [begin, end) of the view will not be read again soon: the whole pages
  // among them leave the process's memory (a later read brings them back from the file). Does
  // nothing for a range that is not inside the view, or where the system has no such call.
  void releasePages(const uint8_t* begin, const uint8_t* end) const noexcept;

 private:
  void close() noexcept;

  platform::NativeHandle file_ = platform::kInvalidHandle;
  // The mapping object, where the system has one (Windows); POSIX maps from the file itself.
  platform::NativeHandle mapping_ = platform::kInvalidHandle;
  // A small file is read into memory of its own instead of mapped (mapping and unmapping cost
  // more than the read): then the view is this copy, and its pages are never released.
  std::unique_ptr<uint8_t[]> copy_;
  const uint8_t* view_ = nullptr;
  uint32_t size_ = 0;
};

// A writable output file: opened or created without truncation, for this process alone, and given
// its new content in one step that either happens whole or leaves the file as it was.
class OutputFile {
 public:
  // Opens or creates `fileName` for reading and writing without truncating it. A file that this
  // process has mapped (through any name), that another writer holds, or that is no regular file
  // is refused on "CreateFile"; one of 2 GiB or more on "GetFileSize".
  explicit OutputFile(const std::string& fileName);
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& name() const { return name_; }
  // True when opening created the file (it did not exist before).
  bool created() const { return created_; }

  // Gives the file exactly the `length` bytes of `data` and closes it. Any failure ("CreateFile",
  // "WriteFile", "ReplaceFile") leaves the file as it was, byte for byte. An output with other
  // hard links is refused (they would go on naming the old content), as is one whose owner this
  // process cannot give a new file.
  void replaceContents(const uint8_t* data, size_t length);
  // Closes the handle; the name is kept for messages and clean-up.
  void close() noexcept;

 private:
  std::string name_;
  platform::NativeHandle handle_ = platform::kInvalidHandle;
  bool created_ = false;
};

}  // namespace tessel
