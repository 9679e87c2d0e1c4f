// POSIX implementation of the file calls. It follows the contracts of the Windows calls that the
// rest of the system was written against: an input is opened for shared reading and mapped as one
// view; an output is opened exclusively, never while this process has it mapped, and is not
// truncated until the writer says so.

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
#include <map>
#include <mutex>
#include <utility>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace tessel::platform {

namespace {

using FileId = std::pair<dev_t, ino_t>;

// Files this process currently has mapped, by view. An output file that is one of them is refused,
// as Windows refuses to open a mapped file without sharing: writing it would change the bytes
// under a live view, or cut them away.
class MappedRegistry {
 public:
  void add(const uint8_t* view, uint32_t size, FileId id) {
    std::lock_guard lock(mutex_);
    views_[view] = {size, id};
  }
  void remove(const uint8_t* view) {
    std::lock_guard lock(mutex_);
    views_.erase(view);
  }
  bool contains(FileId id) {
    std::lock_guard lock(mutex_);
    return std::any_of(views_.begin(), views_.end(),
                       [&](const auto& v) { return v.second.id == id; });
  }
  // [begin, end) cut to the view that holds `begin`; empty when none does.
  std::pair<const uint8_t*, const uint8_t*> within(const uint8_t* begin, const uint8_t* end) {
    std::lock_guard lock(mutex_);
    auto it = views_.upper_bound(begin);
    if (it == views_.begin()) return {begin, begin};
    --it;
    const uint8_t* viewEnd = it->first + it->second.size;
    if (begin >= viewEnd) return {begin, begin};
    return {begin, std::min(end, viewEnd)};
  }

 private:
  struct View {
    uint32_t size;
    FileId id;
  };
  std::mutex mutex_;
  std::map<const uint8_t*, View> views_;
};

MappedRegistry& registry() {
  static MappedRegistry instance;
  return instance;
}

// What `openForReading` learnt about the descriptor it opened last: the size and identity that
// the next two steps of mapping a file need, so that each file costs one fstat. Forgotten when
// that descriptor is closed (its number may then be reused).
struct OpenedFile {
  int fd = -1;
  struct stat info {};
};
thread_local OpenedFile lastOpened;

[[noreturn]] void failOn(const std::string& fileName, const char* operation, int error) {
  throwWindowsError(fileName, operation, static_cast<unsigned long>(error));
}

int descriptorOf(NativeHandle handle) {
  return static_cast<int>(handle);
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

NativeHandle openForReading(const std::string& fileName) {
  // O_NONBLOCK keeps a FIFO from blocking the open; such files are refused below anyway.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) failOn(fileName, msg::kOpCreateFile, errno);
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    failOn(fileName, msg::kOpCreateFile, error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    failOn(fileName, msg::kOpCreateFile, S_ISDIR(info.st_mode) ? EISDIR : ENODEV);
  }
  lastOpened = {fd, info};
  return fd;
}

uint32_t fileSize(NativeHandle file, const std::string& fileName) {
  struct stat info;
  if (descriptorOf(file) == lastOpened.fd) {
    info = lastOpened.info;
  } else if (::fstat(descriptorOf(file), &info) != 0) {
    failOn(fileName, msg::kOpGetFileSize, errno);
  }
  // Offsets inside a file are signed 32-bit numbers, so 2 GiB and more cannot be handled.
  if (info.st_size < 0 || info.st_size > 0x7FFFFFFF) failOn(fileName, msg::kOpGetFileSize, EFBIG);
  return static_cast<uint32_t>(info.st_size);
}

NativeHandle createMapping(NativeHandle file, uint32_t size, const std::string& fileName) {
  // POSIX maps straight from the descriptor; what remains of this step is the rule that an empty
  // file has nothing to map.
  if (size == 0) failOn(fileName, msg::kOpCreateFileMapping, EINVAL);
  return file;
}

const uint8_t* mapView(NativeHandle file, NativeHandle /*mapping*/, uint32_t size,
                       const std::string& fileName) {
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptorOf(file), 0);
  if (view == MAP_FAILED) failOn(fileName, msg::kOpMapViewOfFile, errno);
  ::madvise(view, size, MADV_SEQUENTIAL);
  const auto* bytes = static_cast<const uint8_t*>(view);
  struct stat info;
  if (descriptorOf(file) == lastOpened.fd) {
    registry().add(bytes, size, {lastOpened.info.st_dev, lastOpened.info.st_ino});
  } else if (::fstat(descriptorOf(file), &info) == 0) {
    registry().add(bytes, size, {info.st_dev, info.st_ino});
  }
  return bytes;
}

void unmapView(const uint8_t* view, uint32_t size) noexcept {
  if (!view) return;
  registry().remove(view);
  ::munmap(const_cast<uint8_t*>(view), size);
}

void releaseViewPages(const uint8_t* begin, const uint8_t* end) noexcept {
  const auto [from, to] = registry().within(begin, end);
  const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGE_SIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(from) + pageSize - 1) & ~(pageSize - 1);
  const uintptr_t stop = reinterpret_cast<uintptr_t>(to) & ~(pageSize - 1);
  // The view is private and never written: its pages are the file's, and come back from it.
  if (stop > start) ::madvise(reinterpret_cast<void*>(start), stop - start, MADV_DONTNEED);
}

void closeMapping(NativeHandle /*mapping*/) noexcept {}

void closeFile(NativeHandle file) noexcept {
  if (file == kInvalidHandle) return;
  if (descriptorOf(file) == lastOpened.fd) lastOpened.fd = -1;
  ::close(descriptorOf(file));
}

NativeHandle openForWriting(const std::string& fileName, bool& created) {
  created = false;
  int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created = true;
  } else if (errno == EEXIST) {
    fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  }
  if (fd < 0) failOn(fileName, msg::kOpCreateFile, errno);

  struct stat info;
  int refusal = 0;
  if (::fstat(fd, &info) != 0) {
    refusal = errno;
  } else if (!S_ISREG(info.st_mode)) {
    refusal = S_ISDIR(info.st_mode) ? EISDIR : ENODEV;
  } else if (registry().contains({info.st_dev, info.st_ino})) {
    refusal = EBUSY;
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    refusal = errno;
  } else {
    // Writes block normally from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  if (refusal != 0) {
    ::close(fd);
    if (created) ::unlink(fileName.c_str());
    created = false;
    failOn(fileName, msg::kOpCreateFile, refusal);
  }
  return fd;
}

// The new content is written to a sibling file in the output's directory, flushed to the disk,
// given the output's mode and owner, and renamed over the output: a rename within one file system
// is atomic, so the output is either the old file, untouched, or the whole new one. Writing in
// place, even after reserving the space, would leave a half-written file behind an I/O error, and
// on copy-on-write file systems a reservation does not even promise the space.
// What a rename cannot keep is refused instead of lost: an output with other hard links (they would
// go on naming the old content), and an owner this process cannot give the new file. Extended
// attributes and access-control lists of the old file are not carried over.
void replaceFileContents(NativeHandle& file, const std::string& fileName, const uint8_t* data,
                         size_t length) {
  const int fd = descriptorOf(file);
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  const int statError = errno;
  ::close(fd);
  file = kInvalidHandle;
  if (!known) failOn(fileName, msg::kOpReplaceFile, statError);
  if (info.st_nlink > 1) {
    fail(formatText(msg::kFileOperationFailed, fileName.c_str(), msg::kOpReplaceFile,
                    msg::kHardLinkedOutput));
  }
  // The sibling goes next to the file itself, so that a symbolic link to it stays a link.
  char* resolved = ::realpath(fileName.c_str(), nullptr);
  if (!resolved) failOn(fileName, msg::kOpReplaceFile, errno);
  const std::string target(resolved);
  std::free(resolved);
  const size_t slash = target.rfind('/');
  std::string temporary = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) failOn(fileName, msg::kOpCreateFile, errno);

  const auto abandon = [&](const char* operation, int error) {
    ::close(out);
    ::unlink(temporary.c_str());
    failOn(fileName, operation, error);
  };
  while (length > 0) {
    const ssize_t written = ::write(out, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) abandon(msg::kOpWriteFile, written < 0 ? errno : ENOSPC);
    data += written;
    length -= static_cast<size_t>(written);
  }
  // Only data that has reached the disk may replace the old file.
  if (::fsync(out) != 0) abandon(msg::kOpWriteFile, errno);
  if ((info.st_uid != ::geteuid() || info.st_gid != ::getegid()) &&
      ::fchown(out, info.st_uid, info.st_gid) != 0) {
    abandon(msg::kOpReplaceFile, errno);
  }
  if (::fchmod(out, info.st_mode & 07777) != 0) abandon(msg::kOpReplaceFile, errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) abandon(msg::kOpReplaceFile, errno);
  ::close(out);
  // The rename itself reaches the disk with the directory.
  const int directory = ::open(target.substr(0, slash + 1).c_str(), O_RDONLY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

bool deleteFile(const std::string& fileName) noexcept {
  return ::unlink(fileName.c_str()) == 0;
}

void copyFileTimes(const std::string& source, const std::string& target) {
  const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (from < 0) fail("CreateFile failed");
  struct stat info;
  const bool gotTimes = ::fstat(from, &info) == 0;
  ::close(from);
  if (!gotTimes) fail("GetFileTime failed");

  const int to = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (to < 0) fail("CreateFile failed");
  // Access and modification times with full precision; Linux has no settable creation time.
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  const bool setTimes = ::futimens(to, times) == 0;
  ::close(to);
  if (!setTimes) fail("SetFileTime failed");
}

// --- Directory search --------------------------------------------------------------------------

bool findFiles(const std::string& rawPattern, std::vector<DirEntry>& entries) {
  entries.clear();
  const std::string pattern = withoutTrailingSeparators(rawPattern);
  if (pattern.empty()) return false;
  const size_t slash = lastSeparator(pattern);
  const std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);

  if (!hasWildcard(last)) {
    struct stat info;
    bool isDirectory = false;
    if (::stat(pattern.c_str(), &info) == 0) {
      isDirectory = S_ISDIR(info.st_mode);
    } else if (::lstat(pattern.c_str(), &info) != 0) {
      return false;  // nothing there; a dangling or looping link is reported as a file
    }
    entries.push_back({last.empty() ? pattern : last, isDirectory});
    return true;
  }

  const std::string directory = slash == std::string::npos ? std::string(".")
                                : slash == 0               ? std::string("/")
                                                           : pattern.substr(0, slash);
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || !wildcardMatch(last, name)) continue;
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
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return !entries.empty();
}

}  // namespace tessel::platform
