#pragma once

// The still-image formats the imaging library may open, recognised by their first bytes. Nothing
// else reaches the library: no text format, no vector format, no program.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/tiff_properties.h"

namespace tessel::imaging {

enum class SourceFormat { kNone, kPng, kGif, kBmp, kTiff, kWebp, kPnm, kTga, kIco, kJpeg };

// The format that the bytes start with, or kNone.
SourceFormat detectFormat(const uint8_t* data, size_t size);
// The library's coder name of a format ("PNG", ...); empty for kNone.
const char* coderName(SourceFormat format);
// Whether the file stores colour-table indices (a palette or bilevel image) rather than colours;
// `tiffItems` are the properties of a TIFF file.
bool storesIndices(SourceFormat format, const uint8_t* data, size_t size,
                   const std::vector<OwnedPropertyItem>& tiffItems);

// Whether the file stores CMYK (or YCCK) samples, which are refused: a JPEG frame of four
// components, or a TIFF with Photometric 5. For libraries that would quietly convert them.
bool storesCmyk(SourceFormat format, const uint8_t* data, size_t size,
                const std::vector<OwnedPropertyItem>& tiffItems);

}  // namespace tessel::imaging
