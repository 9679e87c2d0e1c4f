// POSIX implementation of the file calls. It follows the contracts of the Windows calls that the
// rest of the system was written against: an input is opened for shared reading and mapped as one
// view; an output is opened exclusively, never while this process has it mapped, and is not
// truncated until the writer says so.
//
// A mapped input keeps its descriptor open for as long as it is mapped, so the kernel's table of
// this process's descriptors tells which files are mapped: no list of its own is kept.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/directory_listing.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace tessel::platform {

namespace {

[[noreturn]] void failOn(const std::string& fileName, const char* operation, int error) {
  throwWindowsError(fileName, operation, static_cast<unsigned long>(error));
}

int descriptorOf(NativeHandle handle) {
  return static_cast<int>(handle);
}

// Opens `fileName` with `flags` and learns what it is; anything but a regular file is refused on
// "CreateFile" (a directory as such). Returns the descriptor.
int openRegularFile(const std::string& fileName, int flags, struct stat& info) {
  const int fd = ::open(fileName.c_str(), flags | O_CLOEXEC);
  if (fd < 0) failOn(fileName, msg::kOpCreateFile, errno);
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    failOn(fileName, msg::kOpCreateFile, error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    failOn(fileName, msg::kOpCreateFile, S_ISDIR(info.st_mode) ? EISDIR : ENODEV);
  }
  return fd;
}

// Offsets inside a file are signed 32-bit numbers, so 2 GiB and more cannot be handled.
uint32_t checkedSize(const std::string& fileName, const struct stat& info) {
  if (info.st_size < 0 || info.st_size > 0x7FFFFFFF) failOn(fileName, msg::kOpGetFileSize, EFBIG);
  return static_cast<uint32_t>(info.st_size);
}

// Whether this process holds `file` open for reading through a descriptor other than `except`:
// its mapped inputs do, for as long as they are mapped. Windows refuses to open such a file
// without sharing; here, writing it would change or cut the bytes under a live view. Where the
// descriptor table cannot be read, nothing is found.
bool heldForReading(const struct stat& file, int except) {
  DIR* table = ::opendir("/proc/self/fd");
  if (!table) return false;
  bool held = false;
  while (const dirent* entry = ::readdir(table)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == except || fd == ::dirfd(table)) continue;
    const int flags = ::fcntl(static_cast<int>(fd), F_GETFL);
    struct stat info;
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY &&
        ::fstat(static_cast<int>(fd), &info) == 0 && info.st_dev == file.st_dev &&
        info.st_ino == file.st_ino) {
      held = true;
      break;
    }
  }
  ::closedir(table);
  return held;
}

}  // namespace

std::string systemErrorText(unsigned long code) {
  // An unknown code has no text of its own (glibc would invent "Unknown error N"); the caller
  // then falls back to the number.
  if (code > INT32_MAX || !strerrorname_np(static_cast<int>(code))) return std::string();
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

unsigned long lastError() {
  return static_cast<unsigned long>(errno);
}

uint64_t physicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

unsigned availableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
}

void adviseLargeBlock(void* block, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  // Only whole pages inside the block can be advised.
  const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGE_SIZE));
  if (pageSize == 0 || bytes < (size_t{2} << 20)) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(pageSize - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace tessel::platform

namespace tessel {

using platform::failOn;

// --- Mapped input files ------------------------------------------------------------------------

namespace {

// Files up to this size are read rather than mapped.
constexpr uint32_t kSmallFileBytes = 256 * 1024;

// Reads the `size` bytes of the file `fd` into `into`; a read error or a file that became shorter
// fails as the mapping of its view would.
void readWhole(const std::string& fileName, int fd, uint8_t* into, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, into + done, size - done, done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) failOn(fileName, msg::kOpMapViewOfFile, got < 0 ? errno : EIO);
    done += static_cast<uint32_t>(got);
  }
}

}  // namespace

MappedFile::MappedFile(const std::string& fileName) {
  struct stat info;
  // O_NONBLOCK keeps a FIFO from blocking the open; such files are refused anyway.
  file_ = platform::openRegularFile(fileName, O_RDONLY | O_NONBLOCK, info);
  try {
    size_ = platform::checkedSize(fileName, info);
    // An empty file has nothing to map.
    if (size_ == 0) failOn(fileName, msg::kOpCreateFileMapping, EINVAL);
    if (size_ <= kSmallFileBytes) {
      copy_ = std::make_unique_for_overwrite<uint8_t[]>(size_);
      readWhole(fileName, platform::descriptorOf(file_), copy_.get(), size_);
      view_ = copy_.get();
      return;
    }
    void* view = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, platform::descriptorOf(file_), 0);
    if (view == MAP_FAILED) failOn(fileName, msg::kOpMapViewOfFile, errno);
    ::madvise(view, size_, MADV_SEQUENTIAL);
    view_ = static_cast<const uint8_t*>(view);
  } catch (...) {
    close();
    throw;
  }
}

void MappedFile::releasePages(const uint8_t* begin, const uint8_t* end) const noexcept {
  if (copy_) return;
  if (begin < view_ || end > view_ + size_ || begin >= end) return;
  const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGE_SIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(begin) + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t stop = reinterpret_cast<uintptr_t>(end) & ~(pageSize - 1);
  // The view is private and never written: its pages are the file's, and come back from it.
  if (stop > start) ::madvise(reinterpret_cast<void*>(start), stop - start, MADV_DONTNEED);
}

void MappedFile::close() noexcept {
  if (copy_) {
    copy_.reset();
  } else if (view_) {
    ::munmap(const_cast<uint8_t*>(view_), size_);
  }
  view_ = nullptr;
  size_ = 0;
  if (file_ != platform::kInvalidHandle) ::close(platform::descriptorOf(file_));
  file_ = platform::kInvalidHandle;
}

// --- Output files --------------------------------------------------------------------------------

namespace {

// Why an opened output must not be written: 0 when it may.
int refusalOf(int fd, struct stat& info) {
  if (::fstat(fd, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? EISDIR : ENODEV;
  if (platform::heldForReading(info, fd)) return EBUSY;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
  return 0;
}

}  // namespace

OutputFile::OutputFile(const std::string& fileName) : name_(fileName) {
  int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created_ = true;
  } else if (errno == EEXIST) {
    fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  }
  if (fd < 0) failOn(fileName, msg::kOpCreateFile, errno);
  struct stat info;
  const int refusal = refusalOf(fd, info);
  if (refusal != 0) {
    ::close(fd);
    if (created_) ::unlink(fileName.c_str());
    created_ = false;
    failOn(fileName, msg::kOpCreateFile, refusal);
  }
  // Writes block normally from here on.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  handle_ = fd;
  try {
    platform::checkedSize(fileName, info);
  } catch (...) {
    close();
    throw;
  }
}

void OutputFile::close() noexcept {
  if (handle_ != platform::kInvalidHandle) ::close(platform::descriptorOf(handle_));
  handle_ = platform::kInvalidHandle;
}

namespace {

// The file that `fileName` names, links resolved, so that a symbolic link to it stays a link.
std::string resolvedPath(const std::string& fileName) {
  char* resolved = ::realpath(fileName.c_str(), nullptr);
  if (!resolved) failOn(fileName, msg::kOpReplaceFile, errno);
  std::string target(resolved);
  std::free(resolved);
  return target;
}

// A new file beside the output that receives its content and is renamed over it; removed again
// unless it took the output's place.
class Sibling {
 public:
  Sibling(const std::string& fileName, const std::string& target) : fileName_(fileName) {
    const size_t slash = target.rfind('/');
    name_ = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
    fd_ = ::mkostemp(name_.data(), O_CLOEXEC);
    if (fd_ < 0) failOn(fileName, msg::kOpCreateFile, errno);
  }
  ~Sibling() {
    if (fd_ >= 0) abandon();
  }
  Sibling(const Sibling&) = delete;
  Sibling& operator=(const Sibling&) = delete;

  // Writes all of `data` and brings it to the disk: only data that has reached it may replace
  // the old file.
  void write(const uint8_t* data, size_t length) {
    while (length > 0) {
      const ssize_t written = ::write(fd_, data, length);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) fail(msg::kOpWriteFile, written < 0 ? errno : ENOSPC);
      data += written;
      length -= static_cast<size_t>(written);
    }
    if (::fsync(fd_) != 0) fail(msg::kOpWriteFile, errno);
  }

  // Gives the sibling the output's owner and mode, then its place.
  void replace(const std::string& target, const struct stat& output) {
    if ((output.st_uid != ::geteuid() || output.st_gid != ::getegid()) &&
        ::fchown(fd_, output.st_uid, output.st_gid) != 0) {
      fail(msg::kOpReplaceFile, errno);
    }
    if (::fchmod(fd_, output.st_mode & 07777) != 0) fail(msg::kOpReplaceFile, errno);
    if (::rename(name_.c_str(), target.c_str()) != 0) fail(msg::kOpReplaceFile, errno);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  void abandon() noexcept {
    ::close(fd_);
    fd_ = -1;
    ::unlink(name_.c_str());
  }
  [[noreturn]] void fail(const char* operation, int error) {
    abandon();
    failOn(fileName_, operation, error);
  }

  const std::string& fileName_;
  std::string name_;
  int fd_ = -1;
};

}  // namespace

// The new content is written to a sibling file in the output's directory, flushed to the disk,
// given the output's mode and owner, and renamed over the output: a rename within one file system
// is atomic, so the output is either the old file, untouched, or the whole new one. Writing in
// place, even after reserving the space, would leave a half-written file behind an I/O error, and
// on copy-on-write file systems a reservation does not even promise the space.
// What a rename cannot keep is refused instead of lost: an output with other hard links, and an
// owner this process cannot give the new file. Extended attributes and access-control lists of
// the old file are not carried over.
void OutputFile::replaceContents(const uint8_t* data, size_t length) {
  struct stat info;
  const bool known = ::fstat(platform::descriptorOf(handle_), &info) == 0;
  const int statError = errno;
  close();
  if (!known) failOn(name_, msg::kOpReplaceFile, statError);
  if (info.st_nlink > 1) {
    fail(formatText(msg::kFileOperationFailed, name_.c_str(), msg::kOpReplaceFile,
                    msg::kHardLinkedOutput));
  }
  const std::string target = resolvedPath(name_);
  Sibling sibling(name_, target);
  sibling.write(data, length);
  sibling.replace(target, info);
  // The rename itself reaches the disk with the directory.
  const int directory =
      ::open(target.substr(0, target.rfind('/') + 1).c_str(), O_RDONLY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

}  // namespace tessel

namespace tessel::platform {

bool deleteFile(const std::string& fileName) noexcept {
  return ::unlink(fileName.c_str()) == 0;
}

void copyFileTimes(const std::string& source, const std::string& target) {
  const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (from < 0) fail(msg::kTimesOpenFailed);
  struct stat info;
  const bool gotTimes = ::fstat(from, &info) == 0;
  ::close(from);
  if (!gotTimes) fail(msg::kTimesReadFailed);

  const int to = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (to < 0) fail(msg::kTimesOpenFailed);
  // Access and modification times with full precision; Linux has no settable creation time.
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  const bool setTimes = ::futimens(to, times) == 0;
  ::close(to);
  if (!setTimes) fail(msg::kTimesWriteFailed);
}

// --- Directory search --------------------------------------------------------------------------

bool findEntry(const std::string& path, bool& isDirectory) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    isDirectory = S_ISDIR(info.st_mode);
    return true;
  }
  // A dangling or looping link is there, as a file.
  isDirectory = false;
  return ::lstat(path.c_str(), &info) == 0;
}

bool listDirectory(const std::string& prefix, const std::function<bool(std::string_view)>& wanted,
                   std::vector<DirEntry>& entries) {
  const std::string directory = prefix.empty()       ? std::string(".")
                                : prefix.size() == 1 ? prefix
                                                     : prefix.substr(0, prefix.size() - 1);
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!wanted(name)) continue;
    // A symbolic link is never a directory to recurse into. Most file systems give the kind of
    // entry with the name; lstat is asked only when they do not.
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info;
      const std::string path = directory + "/" + name;
      isDirectory = ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    entries.push_back({name, isDirectory});
  }
  ::closedir(dir);
  return true;
}

}  // namespace tessel::platform
