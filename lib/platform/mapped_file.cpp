#include "platform/mapped_file.h"

#include <utility>

namespace tessel {

MappedFile::MappedFile(const std::string& fileName) {
  fileHandle_ = platform::openForReading(fileName);
  try {
    size_ = platform::fileSize(fileHandle_, fileName);
    mappingHandle_ = platform::createMapping(fileHandle_, size_, fileName);
    view_ = platform::mapView(fileHandle_, mappingHandle_, size_, fileName);
  } catch (...) {
    release();
    throw;
  }
}

MappedFile::~MappedFile() {
  release();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fileHandle_(std::exchange(other.fileHandle_, platform::kInvalidHandle)),
      size_(std::exchange(other.size_, 0)),
      mappingHandle_(std::exchange(other.mappingHandle_, platform::kInvalidHandle)),
      view_(std::exchange(other.view_, nullptr)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    fileHandle_ = std::exchange(other.fileHandle_, platform::kInvalidHandle);
    size_ = std::exchange(other.size_, 0);
    mappingHandle_ = std::exchange(other.mappingHandle_, platform::kInvalidHandle);
    view_ = std::exchange(other.view_, nullptr);
  }
  return *this;
}

void MappedFile::releasePages(const uint8_t* begin, const uint8_t* end) const noexcept {
  if (begin >= view_ && end <= view_ + size_ && begin < end) platform::releaseViewPages(begin, end);
}

void MappedFile::release() noexcept {
  platform::unmapView(view_, size_);
  view_ = nullptr;
  if (mappingHandle_ != platform::kInvalidHandle && mappingHandle_ != fileHandle_) {
    platform::closeMapping(mappingHandle_);
  }
  mappingHandle_ = platform::kInvalidHandle;
  platform::closeFile(fileHandle_);
  fileHandle_ = platform::kInvalidHandle;
  size_ = 0;
}

OutputFile::OutputFile(const std::string& fileName) : name_(fileName) {
  handle_ = platform::openForWriting(fileName, created_);
  try {
    size_ = platform::fileSize(handle_, fileName);
  } catch (...) {
    close();
    throw;
  }
}

OutputFile::~OutputFile() {
  close();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)),
      handle_(std::exchange(other.handle_, platform::kInvalidHandle)),
      size_(std::exchange(other.size_, 0)),
      position_(std::exchange(other.position_, 0)),
      created_(std::exchange(other.created_, false)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    name_ = std::move(other.name_);
    handle_ = std::exchange(other.handle_, platform::kInvalidHandle);
    size_ = std::exchange(other.size_, 0);
    position_ = std::exchange(other.position_, 0);
    created_ = std::exchange(other.created_, false);
  }
  return *this;
}

void OutputFile::replaceContents(const uint8_t* data, size_t length) {
  platform::replaceFileContents(handle_, name_, data, length);
  size_ = static_cast<uint32_t>(length);
  position_ = size_;
}

void OutputFile::close() noexcept {
  platform::closeFile(handle_);
  handle_ = platform::kInvalidHandle;
}

}  // namespace tessel
