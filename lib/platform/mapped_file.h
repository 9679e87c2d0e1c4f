#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace tessel {

// A read-only mapping of a whole input file. Parsers read through `view` and never copy the
// bytes. Movable, not copyable; destroying it unmaps and closes.
class MappedFile {
 public:
  // Opens and maps `fileName`; throws "File %s: failed on %s: %s" naming the failed step.
  explicit MappedFile(const std::string& fileName);
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* view() const { return view_; }
  uint32_t size() const { return size_; }
  // Says that the bytes [begin, end) of the view will not be read again soon: the whole pages
  // among them leave the process's memory (a later read brings them back from the file).
  void releasePages(const uint8_t* begin, const uint8_t* end) const noexcept;

 private:
  void release() noexcept;

  platform::NativeHandle fileHandle_ = platform::kInvalidHandle;
  uint32_t size_ = 0;
  platform::NativeHandle mappingHandle_ = platform::kInvalidHandle;
  const uint8_t* view_ = nullptr;
};

// A writable output file: opened or created without truncation and without sharing, and given its
// new content in one step that either happens whole or leaves the file as it was.
class OutputFile {
 public:
  explicit OutputFile(const std::string& fileName);
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& name() const { return name_; }
  uint32_t size() const { return size_; }
  uint32_t position() const { return position_; }
  // True when opening created the file (it did not exist before).
  bool created() const { return created_; }
  bool isOpen() const { return handle_ != platform::kInvalidHandle; }

  // Replaces the whole content with `length` bytes and closes the file; on failure the file keeps
  // its old content ("CreateFile", "WriteFile", "ReplaceFile").
  void replaceContents(const uint8_t* data, size_t length);
  // Closes the handle; the name is kept for messages and clean-up.
  void close() noexcept;

 private:
  std::string name_;
  platform::NativeHandle handle_ = platform::kInvalidHandle;
  uint32_t size_ = 0;
  uint32_t position_ = 0;
  bool created_ = false;
};

}  // namespace tessel
