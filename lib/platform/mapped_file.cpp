// The moves of the file objects, the same on every platform; opening, mapping, replacing and
// closing are the platform's (platform/posix/files_posix.cpp, platform/windows/files_windows.cpp).

#include "platform/mapped_file.h"

#include <utility>

namespace tessel {

MappedFile::~MappedFile() {
  close();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : file_(std::exchange(other.file_, platform::kInvalidHandle)),
      mapping_(std::exchange(other.mapping_, platform::kInvalidHandle)),
      copy_(std::move(other.copy_)),
      view_(std::exchange(other.view_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    close();
    file_ = std::exchange(other.file_, platform::kInvalidHandle);
    mapping_ = std::exchange(other.mapping_, platform::kInvalidHandle);
    copy_ = std::move(other.copy_);
    view_ = std::exchange(other.view_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

OutputFile::~OutputFile() {
  close();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)),
      handle_(std::exchange(other.handle_, platform::kInvalidHandle)),
      created_(std::exchange(other.created_, false)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    name_ = std::move(other.name_);
    handle_ = std::exchange(other.handle_, platform::kInvalidHandle);
    created_ = std::exchange(other.created_, false);
  }
  return *this;
}

}  // namespace tessel
