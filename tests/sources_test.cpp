// The image-source readers where no fixture file can reach: every orientation, a session's life,
// the property walk's bounds, sizes that memory or the resampler's fixed-point coordinates cannot
// hold. Everything a file can show is in the golden
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
#include "sources/upright.h"
#include "support/support.h"

namespace tessel {
namespace {

using namespace imaging;

// Each orientation puts the stored pixels of a 3 x 2 picture where the Exif rules say (every
// sample of a stored pixel is its number); 1 and unknown values leave them as stored.
TEST(ImageSources, OrientationsPlaceEveryStoredPixel) {
  const std::pair<uint16_t, const char*> cases[] = {
      {1, "3x2 0 1 2 3 4 5"}, {2, "3x2 2 1 0 5 4 3"}, {3, "3x2 5 4 3 2 1 0"},
      {4, "3x2 3 4 5 0 1 2"}, {5, "2x3 0 3 1 4 2 5"}, {6, "2x3 3 0 4 1 5 2"},
      {7, "2x3 5 2 4 1 3 0"}, {8, "2x3 2 5 1 4 0 3"}, {9, "3x2 0 1 2 3 4 5"}};
  for (const auto& [orientation, expected] : cases) {
    PixelImage image;
    image.setPixels(3, 2, platform::allocatePixels(3, 2));
    for (uint16_t i = 0; i < 24; ++i) image.pixels[i] = i / 4;
    turnUpright(image, orientation);
    std::ostringstream text;
    text << image.width << "x" << image.height;
    for (uint32_t i = 0; i < 24; i += 4) text << " " << image.pixels[i + i / 4 % 4];
    EXPECT_EQ(text.str(), expected) << orientation;
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

// Values reach host order element by element in either byte order: a SHORT, a RATIONAL as two
// LONGs, a DOUBLE as one 8-byte number, and bytes as they stand.
TEST(ImageSources, PropertyValuesComeInHostOrder) {
  for (const bool big : {false, true}) {
    std::vector<uint8_t> tiff(2, big ? 'M' : 'I');
    const auto put = [&](uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i)
        tiff.push_back(uint8_t(value >> 8 * (big ? bytes - 1 - i : i)));
    };
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t count) {
      put(tag, 2), put(type, 2), put(count, 4);
    };
    put(42, 2), put(8, 4), put(4, 2);
    entry(0x0112, 3, 1), put(6, 2), put(0, 2);  // Orientation 6
    entry(0x011A, 5, 1), put(62, 4);            // XResolution 300/1 at 62
    entry(0x0200, 12, 1), put(70, 4);           // a DOUBLE 1.5 at 70
    entry(0x010F, 2, 3), tiff.insert(tiff.end(), {'a', 'b', 0, 0});
    put(0, 4), put(300, 4), put(1, 4), put(0x3FF8000000000000, 8);
    const std::vector<OwnedPropertyItem> items = readTiffProperties(tiff.data(), tiff.size());
    ASSERT_EQ(items.size(), 4u) << big;
    uint16_t orientation = 0;
    uint32_t resolution[2] = {};
    double number = 0;
    ASSERT_EQ(items[0].value.size(), 2u);
    std::memcpy(&orientation, items[0].value.data(), 2);
    ASSERT_EQ(items[1].value.size(), 8u);
    std::memcpy(resolution, items[1].value.data(), 8);
    ASSERT_EQ(items[2].value.size(), 8u);
    std::memcpy(&number, items[2].value.data(), 8);
    EXPECT_EQ(orientation, 6) << big;
    EXPECT_EQ(resolution[0], 300u) << big;
    EXPECT_EQ(resolution[1], 1u) << big;
    EXPECT_EQ(number, 1.5) << big;
    EXPECT_EQ(std::string(items[3].value.begin(), items[3].value.end()), std::string("ab\0", 3));
  }
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
