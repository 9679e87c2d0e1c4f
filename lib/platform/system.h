#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::platform {

// The system's text for an error code (errno here, GetLastError on Windows), without a trailing
// line end; empty when the system has none.
std::string systemErrorText(unsigned long code);

// The error code of the last failed system call of this thread.
unsigned long lastError();

// Throws "File %s: failed on %s: %s" with the file name, the name of the operation that failed
// (the Windows call names: "CreateFile", "GetFileSize", ...) and the system's text for `errorCode`.
[[noreturn]] void throwWindowsError(std::string_view fileName, std::string_view operation,
                                    unsigned long errorCode);

// Bytes of physical memory, or 0 when unknown. Used to refuse pixel blocks that could never be
// backed by memory, before the process is killed for touching them.
uint64_t physicalMemoryBytes();

// The processors this process may run on (its affinity mask), at least 1.
unsigned availableProcessors();

// Hints that a large block about to be written in full should be backed by large pages, so that
// filling it takes a few page faults instead of one per small page. Does nothing where the system
// has no such hint or for blocks too small to benefit.
void adviseLargeBlock(void* block, size_t bytes) noexcept;

}  // namespace tessel::platform
