#pragma once

// Loading jpgmerge's image source into a PixelImage.

#include <string>

namespace tessel {

class PixelImage;

// Chooses a reader by the file name's extension (exact, case-sensitive): JPG/jpg/JPEG/jpeg to
// the JPEG decoder, KPX/kpx to the container reader, NEF/nef to the raw reader, anything else to
// the imaging library.
void loadImageSource(PixelImage& image, const std::string& fileName);

// Any still image the imaging library opens, converted to 16-bit RGBA and turned upright.
void loadWithGdiplus(PixelImage& image, const std::string& fileName);

// KPX container files: an already decoded 16-bit RGBA image and its properties.
void readKpxFile(PixelImage& image, const std::string& fileName);

// Nikon NEF raw files: big-endian TIFF, Nikon lossless Huffman coding, CFA interpolation.
void readRawTiffFile(PixelImage& image, const std::string& fileName);

}  // namespace tessel
