// Windows implementation of the system queries: error texts, the last error, physical memory.

#include <windows.h>

#include "platform/system.h"
#include "platform/windows/wide_text.h"

namespace tessel::platform {

std::string systemErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || !buffer) return std::string();
  std::wstring_view text(buffer, length);
  // The system's texts end in a line end ("...\r\n"), which a message has no use for.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  std::string result = narrow(text);
  LocalFree(buffer);
  return result;
}

unsigned long lastError() {
  return GetLastError();
}

unsigned availableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count;
}

uint64_t physicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

// Large pages need the "Lock pages in memory" privilege and memory of their own kind
// (VirtualAlloc with MEM_LARGE_PAGES); blocks from the C allocator cannot be switched to them
// afterwards, so there is nothing to advise.
void adviseLargeBlock(void* /*block*/, size_t /*bytes*/) noexcept {}

}  // namespace tessel::platform
