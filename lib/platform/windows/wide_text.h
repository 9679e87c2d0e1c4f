#pragma once

// UTF-8 inside the program, UTF-16 at the Windows calls. Invalid sequences on either side become
// U+FFFD, as the conversion calls do by default.

#include <string>
#include <string_view>

namespace tessel::platform {

std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

}  // namespace tessel::platform
