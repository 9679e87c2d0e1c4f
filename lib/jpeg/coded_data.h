#pragma once

// A plausibility check of a frame header against its entropy-coded data, made before anything of
// the frame's size is allocated: a header may claim 16384 x 16384 pixels over a few hundred bytes
// of data, and neither the decoder nor the merge writer should reserve gigabytes for it.

#include <cstdint>
#include <span>

namespace tessel {

// The sampling factors of one frame component.
struct ComponentSampling {
  uint32_t h = 1;
  uint32_t v = 1;
};

// The fewest bytes of entropy-coded data that can describe the frame. In every baseline or
// progressive file, each block of each component that lies inside the image is coded in the
// component's first scan with at least one bit (its DC difference code), so the data holds at
// least one bit per such block.
uint64_t minimumCodedBytes(uint32_t width, uint32_t height,
                           std::span<const ComponentSampling> components);

// Refuses a frame without pixels ("Unsupported image size (width=%u, height=%u)") and one whose
// `codedLength` bytes of data are fewer than minimumCodedBytes ("Compressed data of %u bytes is
// too short for an image of %u x %u pixels").
void requireCodedDataFor(uint32_t width, uint32_t height,
                         std::span<const ComponentSampling> components, uint32_t codedLength);

}  // namespace tessel
