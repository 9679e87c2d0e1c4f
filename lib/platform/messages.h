#pragma once

// Messages of the platform layer beside the file-call failures of core/messages.h.
namespace tessel::msg {

// Copying the metadata source's times to the output, named by the Windows call that failed:
// opening either file, reading the source's times, setting the output's.
inline constexpr char kTimesOpenFailed[] = "CreateFile failed";
inline constexpr char kTimesReadFailed[] = "GetFileTime failed";
inline constexpr char kTimesWriteFailed[] = "SetFileTime failed";

}  // namespace tessel::msg
