#pragma once

#include <cstdint>
#include <string>

namespace tessel::platform {

// The system's text for an error code (errno here, GetLastError on Windows), without a trailing
// line end; empty when the system has none.
std::string systemErrorText(unsigned long code);

// The error code of the last failed system call of this thread.
unsigned long lastError();

// Bytes of physical memory, or 0 when unknown. Used to refuse pixel blocks that could never be
// backed by memory, before the process is killed for touching them.
uint64_t physicalMemoryBytes();

}  // namespace tessel::platform
