#pragma once

// What the processor offers beyond the baseline of the build, asked once.

namespace tessel::platform {

// True when the processor and the system support AVX2 (256-bit integer and float vectors). The
// kernels that use it give the same bits as the 128-bit ones.
bool hasAvx2();

}  // namespace tessel::platform
