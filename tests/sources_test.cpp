// The image-source readers where no fixture file can reach: pixel formats that the imaging library
// never hands over, a session's life, the property walk's bounds, sizes that memory or the
// resampler's fixed-point coordinates cannot hold. Everything a file can show is in the golden
// outputs of fixtures/merge.

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "core/pixel_image.h"
#include "jpeg/encoder/resample.h"
#include "platform/memory.h"
#include "platform/tiff_properties.h"
#include "sources/image_sources.h"
#include "sources/imaging_loader.h"
#include "sources/raw_tiff_reader.h"
#include "support/support.h"

namespace tessel {
namespace {

using namespace imaging;

// Converts a 2 x 1 bitmap of `format` from `bytes` (one row, padded) and returns the pixels as
// text, or the status.
std::string convert(uint32_t format, std::vector<uint8_t> bytes, const ColorPalette* palette,
                    uint16_t orientation = 1) {
  bytes.resize(16, 0xEE);
  const BitmapData data{2, 1, 16, format, bytes.data()};
  PixelBuffer pixels;
  uint32_t width = 0, height = 0;
  const int status = convertBitmap(data, palette, orientation, pixels, width, height);
  std::ostringstream text;
  if (status != 0) {
    text << "status " << status << (pixels ? " with pixels" : "");
    return text.str();
  }
  text << width << "x" << height;
  for (uint32_t i = 0; i < 4 * width * height; ++i) text << " " << pixels[i];
  return text.str();
}

TEST(ImageSources, PixelFormatsThatOnlyTheConversionSees) {
  ColorPalette palette{0, 2, {0x00102030, 0x80A0B0C0, 0xFFFFFFFF}};  // a third entry past the count
  EXPECT_EQ(convert(kFormat32bppRGB, {1, 2, 3, 4, 5, 6, 7, 8}, nullptr, 2),
            "2x1 1799 1542 1285 65535 771 514 257 65535");
  // An index at or past the palette's count is transparent black; the palette's alpha is unused.
  EXPECT_EQ(convert(kFormat8bppIndexed, {1, 2}, &palette), "2x1 41120 45232 49344 65535 0 0 0 0");
  EXPECT_EQ(convert(kFormat4bppIndexed, {0x12}, &palette), "2x1 41120 45232 49344 65535 0 0 0 0");
  EXPECT_EQ(convert(kFormat1bppIndexed, {0x40}, &palette, 6),
            "2x1 4112 8224 12336 65535 41120 45232 49344 65535");
  EXPECT_EQ(convert(kFormat8bppIndexed, {1, 2}, nullptr), "status 2");
  for (uint32_t format : {kFormat16bppGrayScale, kFormat32bppPARGB, kFormat32bppCMYK, 0u}) {
    EXPECT_EQ(convert(format, {}, &palette), "status 13") << format;
  }
  EXPECT_STREQ(gdiplusStatusName(20), "Property Not Supported");
  EXPECT_STREQ(gdiplusStatusName(21), "(Unknown Code)");
  EXPECT_STREQ(gdiplusStatusName(-1), "(Unknown Code)");
}

TEST(ImageSources, NothingOpensOutsideASessionAndSessionsNest) {
  const std::string file = test::fixture("merge/dot1x1.png");
  PixelImage image;
  EXPECT_EQ(test::messageOf([&] { loadImageSource(image, file); }),
            "Error reading " + file + ": Gdiplus Not Initialized");
  for (int round = 0; round < 2; ++round) {  // the library starts again after it was shut down
    const ImagingSession outer;
    { const ImagingSession inner; }  // only the outermost session ends the library
    PixelImage dot;
    loadImageSource(dot, file);
    EXPECT_EQ(dot.pixels[0], 200 * 257);
  }
}

// The TIFF walk behind the imaging library's properties checks every offset against the data.
TEST(ImageSources, PropertyWalkStaysInsideItsData) {
  // II, 42, IFD at 8: Orientation 6 and Make "abcdefgh" (out of line at 38), then the link.
  std::vector<uint8_t> tiff = {'I', 'I', 42,  0,   8,   0,   0,   0,   2,   0,   0x12, 1,
                               3,   0,   1,   0,   0,   0,   6,   0,   0,   0,   0x0F, 1,
                               2,   0,   9,   0,   0,   0,   38,  0,   0,   0,   0,    0,
                               0,   0,   'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0};
  const std::pair<size_t, size_t> cases[] = {{7, 0},  {8, 0},  {10, 0}, {21, 0},
                                             {22, 1}, {34, 1}, {46, 1}, {47, 2}};
  for (const auto& [size, items] : cases) {
    EXPECT_EQ(readTiffProperties(tiff.data(), size).size(), items) << size;
  }
  tiff[2] = 43;
  EXPECT_TRUE(readTiffProperties(tiff.data(), tiff.size()).empty());
  tiff[2] = 42, tiff[1] = 'M';
  EXPECT_TRUE(readTiffProperties(tiff.data(), tiff.size()).empty());
}

// Sizes that memory or the fixed-point coordinates cannot hold are refused with their message.
TEST(ImageSources, SizesTooLargeAreRefused) {
  // nef-12bit.nef with the raw IFD's ImageWidth 0xFFFFFFFF, ImageLength and RowsPerStrip
  // 0xFFFFFFF0 (the values at offsets 368, 380 and 452).
  std::vector<uint8_t> nef = test::readFile(test::fixture("merge/nef-12bit.nef"));
  ASSERT_EQ(nef[371], 20);
  for (size_t at : {368, 380, 452}) std::memset(&nef[at], 0xFF, 4);
  nef[383] = nef[455] = 0xF0;
  PixelImage image;
  EXPECT_EQ(test::messageOf([&] { readRawTiffBytes(image, "x.nef", nef.data(), nef.size()); }),
            "Error x.nef: Image of 4294967295 x 4294967280 pixels is too large for memory");
  const std::vector<uint8_t> small = test::readFile(test::fixture("merge/nef-5x5.nef"));
  EXPECT_EQ(test::messageOf([&] { readRawTiffBytes(image, "y", small.data(), small.size(), 24); }),
            "Error y: Image of 5 x 5 pixels is too large for memory");

  PixelImage wide, out;
  wide.setPixels(524288, 1, platform::allocatePixels(524288, 1));
  EXPECT_EQ(test::messageOf([&] { ResampleJob::setUp(wide, 0.5f, 1, out); }),
            "Image of 524288 x 1 pixels is too large to resample");
  wide.setPixels(1, 524288, platform::allocatePixels(1, 524288));
  EXPECT_EQ(test::messageOf([&] { ResampleJob::setUp(wide, 1, 0.5f, out); }),
            "Image of 1 x 524288 pixels is too large to resample");
  wide.setPixels(524287, 1, platform::allocatePixels(524287, 1));
  const ResampleJob job = ResampleJob::setUp(wide, 1e-9f, 1, out);
  EXPECT_EQ(job.xStep, 2147483647);
  EXPECT_EQ(job.outputWidth(), 1u);
}

}  // namespace
}  // namespace tessel
