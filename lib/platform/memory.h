#pragma once

// Large blocks for pixels and coefficients. A block that could never be backed by the machine's
// memory is refused up front, instead of the process being killed when its pages are touched; a
// large one is offered huge pages where the system has them, since it is written once from start
// to end and taking it a huge page at a time saves most of the page faults.

#include <cstdint>

#include "core/pixel_image.h"

namespace tessel::platform {

// A block of `bytes` (zero-filled with `zeroed`), released with std::free; null when it cannot
// be had.
void* allocateLargeBlock(uint64_t bytes, bool zeroed = false) noexcept;

// An uninitialised block of width x height pixels, null for an empty image. Throws "Image of %u x
// %u pixels is too large for memory" when the block cannot be had.
PixelBuffer allocatePixels(uint32_t width, uint32_t height);

}  // namespace tessel::platform
