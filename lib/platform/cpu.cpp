#include "platform/cpu.h"

namespace tessel::platform {

bool hasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  // The compiler's check covers the system's saving of the 256-bit registers as well.
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

}  // namespace tessel::platform
