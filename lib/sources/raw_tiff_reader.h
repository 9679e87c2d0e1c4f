#pragma once

// The Nikon raw reader over bytes already in memory. readRawTiffFile (image_sources.h) maps the
// file and calls it; the fuzz harness calls it directly.

#include <cstdint>
#include <string>

namespace tessel {

class PixelImage;

// Directories (main and maker-note ones together) that one file may hold; a file with more is
// refused as an invalid structure.
inline constexpr uint32_t kRawMaxDirectories = 1024;

// Walks the big-endian TIFF of `size` bytes, decodes its raw image and interpolates it into
// `image`. Every failure reads "Error <fileName>: <message>". `maxPixels`, when not 0, refuses
// larger images as too large for memory (the fuzz harness keeps its runs small with it).
void readRawTiffBytes(PixelImage& image, const std::string& fileName, const uint8_t* bytes,
                      uint32_t size, uint64_t maxPixels = 0);

}  // namespace tessel
