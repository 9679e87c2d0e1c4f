#include "core/exception.h"
#include "core/messages.h"
#include "platform/system.h"

namespace tessel::platform {

void throwWindowsError(std::string_view fileName, std::string_view operation,
                       unsigned long errorCode) {
  std::string systemText = platform::systemErrorText(errorCode);
  if (systemText.empty()) systemText = formatText(msg::kWindowsErrorFallback, errorCode);
  const std::string name(fileName);
  const std::string op(operation);
  failf(msg::kFileOperationFailed, name.c_str(), op.c_str(), systemText.c_str());
}

}  // namespace tessel::platform
