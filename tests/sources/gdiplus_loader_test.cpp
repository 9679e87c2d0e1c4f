#include "sources/gdiplus_loader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/exception.h"
#include "exif/property_list.h"
#include "sources/image_sources.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using namespace imaging;
using test::Bytes;
using test::TempDir;

using test::messageOf;

struct Rgba {
  uint16_t r, g, b, a;
  bool operator==(const Rgba&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Rgba& p) {
  return out << "(" << p.r << "," << p.g << "," << p.b << "," << p.a << ")";
}

Rgba pixelAt(const PixelBuffer& pixels, uint32_t width, uint32_t x, uint32_t y) {
  const uint16_t* p = pixels.get() + 4 * (size_t(y) * width + x);
  return {p[0], p[1], p[2], p[3]};
}
Rgba pixelAt(const PixelImage& image, uint32_t x, uint32_t y) {
  return pixelAt(image.pixels, image.width, x, y);
}

uint32_t longProperty(const PixelImage& image, uint32_t tag) {
  const Property* p = image.properties.find(tag);
  if (!p || p->type != kTypeLong) return 0;
  uint32_t v;
  std::memcpy(&v, p->data(), 4);
  return v;
}

// --- Conversion of locked bitmaps --------------------------------------------------------------

struct Locked {
  std::vector<uint8_t> bytes;
  BitmapData data;
};

// A bitmap of `width` x `height` whose pixel bytes come from `pixel(x, y, out)`.
Locked makeBitmap(uint32_t format, uint32_t width, uint32_t height,
                  const std::function<void(uint32_t, uint32_t, uint8_t*)>& pixel) {
  Locked locked;
  const uint32_t bytesPerPixel = bitsPerPixel(format) / 8;
  const int32_t stride = int32_t((width * bytesPerPixel + 3) / 4 * 4 + 4);  // with padding
  locked.bytes.assign(size_t(stride) * height, 0xEE);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) pixel(x, y, &locked.bytes[y * stride + x * bytesPerPixel]);
  }
  locked.data = {width, height, stride, format, locked.bytes.data()};
  return locked;
}

struct Converted {
  int status = -1;
  PixelBuffer pixels;
  uint32_t width = 0, height = 0;
  Rgba at(uint32_t x, uint32_t y) const { return pixelAt(pixels, width, x, y); }
};

Converted convert(const Locked& locked, uint16_t orientation,
                  const ColorPalette* palette = nullptr) {
  Converted c;
  c.status = convertBitmap(locked.data, palette, orientation, c.pixels, c.width, c.height);
  return c;
}

TEST(ConvertBitmapTest, DirectFormatsScaleTheirSamples) {
  // 24-bit: bytes B, G, R.
  auto rgb24 = makeBitmap(kFormat24bppRGB, 1, 1,
                          [](uint32_t, uint32_t, uint8_t* p) { p[0] = 16, p[1] = 32, p[2] = 48; });
  EXPECT_EQ(convert(rgb24, 1).at(0, 0), (Rgba{48 * 257, 32 * 257, 16 * 257, 65535}));

  // 32-bit ARGB carries the fourth byte as alpha.
  auto argb32 = makeBitmap(kFormat32bppARGB, 1, 1, [](uint32_t, uint32_t, uint8_t* p) {
    p[0] = 1, p[1] = 2, p[2] = 3, p[3] = 255;
  });
  EXPECT_EQ(convert(argb32, 1).at(0, 0), (Rgba{3 * 257, 2 * 257, 257, 65535}));

  // 16-bit samples of full scale 8192: v * 8, and 65535 from 8192 on.
  const uint16_t samples[4] = {8191, 8192, 9000, 0};  // B, G, R, A
  auto argb64 = makeBitmap(kFormat64bppARGB, 1, 1,
                           [&](uint32_t, uint32_t, uint8_t* p) { std::memcpy(p, samples, 8); });
  EXPECT_EQ(convert(argb64, 1).at(0, 0), (Rgba{65535, 65535, 8191 * 8, 0}));
}

TEST(ConvertBitmapTest, IndexedFormatsUseThePaletteAndNothingBeyondIt) {
  ColorPalette palette;
  palette.count = 2;
  palette.entries = {0x00102030, 0x80A0B0C0, 0xFFFFFFFF};  // a third entry beyond the count

  auto eight = makeBitmap(kFormat8bppIndexed, 3, 1,
                          [](uint32_t x, uint32_t, uint8_t* p) { p[0] = uint8_t(x); });
  const Converted c = convert(eight, 1, &palette);
  ASSERT_EQ(c.status, 0);
  // The palette's alpha is not used; an index at or beyond the count is transparent black.
  EXPECT_EQ(c.at(0, 0), (Rgba{0x10 * 257, 0x20 * 257, 0x30 * 257, 65535}));
  EXPECT_EQ(c.at(1, 0), (Rgba{0xA0 * 257, 0xB0 * 257, 0xC0 * 257, 65535}));
  EXPECT_EQ(c.at(2, 0), (Rgba{0, 0, 0, 0}));

  // 4-bit: high nibble first. 1-bit: most significant bit first.
  Locked four;
  four.bytes = {0x10, 0x00, 0x00, 0x00};
  four.data = {3, 1, 4, kFormat4bppIndexed, four.bytes.data()};
  const Converted f = convert(four, 1, &palette);
  EXPECT_EQ(f.at(0, 0).r, 0xA0 * 257);
  EXPECT_EQ(f.at(1, 0).r, 0x10 * 257);
  Locked one;
  one.bytes = {0x40, 0, 0, 0};
  one.data = {3, 1, 4, kFormat1bppIndexed, one.bytes.data()};
  const Converted o = convert(one, 1, &palette);
  EXPECT_EQ(o.at(0, 0).r, 0x10 * 257);
  EXPECT_EQ(o.at(1, 0).r, 0xA0 * 257);
}

TEST(ConvertBitmapTest, EveryOrientationFollowsTheTable) {
  // Stored pixel i = 3 * row + column of a 3 x 2 bitmap carries i in blue. Each string lists
  // the stored pixel behind each output pixel in raster order; 0 and 9 are no orientation.
  auto bitmap = makeBitmap(kFormat24bppRGB, 3, 2, [](uint32_t x, uint32_t y, uint8_t* p) {
    p[0] = uint8_t(3 * y + x), p[1] = 0, p[2] = 0;
  });
  const std::vector<std::pair<uint16_t, std::string>> table = {
      {0, "012345"}, {1, "012345"}, {2, "210543"}, {3, "543210"}, {4, "345012"},
      {5, "031425"}, {6, "304152"}, {7, "524130"}, {8, "251403"}, {9, "012345"}};
  for (const auto& [value, order] : table) {
    SCOPED_TRACE(value);
    const Converted c = convert(bitmap, value);
    ASSERT_EQ(c.status, 0);
    ASSERT_EQ(c.width, value >= 5 && value <= 8 ? 2u : 3u);
    ASSERT_EQ(c.width * c.height, 6u);
    for (uint32_t i = 0; i < 6; ++i) {
      EXPECT_EQ(c.at(i % c.width, i / c.width).b, (order[i] - '0') * 257) << "output pixel " << i;
    }
  }

  // 1- and 4-bit indexed bitmaps are copied as stored whatever the orientation.
  ColorPalette palette{0, 16, {}};
  for (uint32_t i = 0; i < 16; ++i) palette.entries.push_back(i << 16);
  Locked four;
  four.bytes = {0x01, 0x20, 0, 0, 0x34, 0x50, 0, 0};
  four.data = {3, 2, 4, kFormat4bppIndexed, four.bytes.data()};
  const Converted c = convert(four, 6, &palette);
  ASSERT_EQ(c.width, 3u);
  EXPECT_EQ(c.at(1, 0).r, 1 * 257);
  EXPECT_EQ(c.at(0, 1).r, 3 * 257);
}

TEST(ConvertBitmapTest, UnacceptedFormatsAreUnknownImageFormats) {
  for (uint32_t format : {kFormat16bppGrayScale, kFormat32bppPARGB, kFormat32bppCMYK, 0u}) {
    Locked locked;
    locked.bytes.assign(16, 0);
    locked.data = {1, 1, 8, format, locked.bytes.data()};
    Converted c = convert(locked, 1);
    EXPECT_EQ(c.status, 13);
    EXPECT_EQ(c.pixels, nullptr);
  }
}

TEST(GdiplusStatusTest, NumbersOutsideTheTableAreUnknown) {
  EXPECT_STREQ(gdiplusStatusName(20), "Property Not Supported");
  EXPECT_STREQ(gdiplusStatusName(21), "(Unknown Code)");
  EXPECT_STREQ(gdiplusStatusName(-1), "(Unknown Code)");
}

// --- The TIFF walk behind the property items -------------------------------------------------

Bytes tiff(bool bigEndian, const std::vector<std::array<uint32_t, 4>>& entries,
           const Bytes& tail = {}) {
  // `v` as an n-byte number in the block's order.
  auto put = [&](Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> 8 * (bigEndian ? n - 1 - i : i)));
  };
  auto put16 = [&](Bytes& b, uint32_t v) { put(b, v, 2); };
  auto put32 = [&](Bytes& b, uint32_t v) { put(b, v, 4); };
  Bytes b = bigEndian ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
  put16(b, 42);
  put32(b, 8);
  put16(b, uint32_t(entries.size()));
  for (const auto& e : entries) {  // tag, type, count, value or offset
    put16(b, e[0]);
    put16(b, e[1]);
    put32(b, e[2]);
    if (e[1] == 3 && e[2] == 1) {
      put16(b, e[3]), put16(b, 0);
    } else {
      put32(b, e[3]);
    }
  }
  put32(b, 0);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

TEST(TiffPropertiesTest, ReadsBothByteOrdersIntoHostOrderAndSkipsDamage) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian);
    // Header 8 + count 2 + 5 entries * 12 + next 4 = 74: the rational and the Exif directory
    // follow at 74 and 82.
    Bytes exifDir = bigEndian ? Bytes{0, 1, 0x90, 0x03, 0, 2, 0, 0, 0, 4, 'a', 'b', 'c', 0}
                              : Bytes{1, 0, 0x03, 0x90, 2, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0};
    Bytes tail = bigEndian ? Bytes{0, 0, 0, 72, 0, 0, 0, 1} : Bytes{72, 0, 0, 0, 1, 0, 0, 0};
    tail.insert(tail.end(), exifDir.begin(), exifDir.end());
    const Bytes data = tiff(bigEndian,
                            {{274, 3, 1, 6},
                             {282, 5, 1, 74},
                             {271, 2, 4000, 9999},  // value far beyond the end: skipped
                             {272, 99, 1, 0},       // unknown type: skipped
                             {34665, 4, 1, 82}},
                            tail);
    const auto items = readTiffProperties(data.data(), data.size());
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].id, 274u);
    uint16_t orientation;
    std::memcpy(&orientation, items[0].value.data(), 2);
    EXPECT_EQ(orientation, 6);
    EXPECT_EQ(items[1].id, 282u);
    uint32_t rational[2];
    std::memcpy(rational, items[1].value.data(), 8);
    EXPECT_EQ(rational[0], 72u);
    EXPECT_EQ(rational[1], 1u);
    EXPECT_EQ(items[3].id, 36867u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(items[3].value.data())), "abc");
  }
  // A directory offset past the end, a truncated directory and a short header yield nothing.
  Bytes broken = tiff(false, {{274, 3, 1, 6}});
  broken[4] = 0xF0;
  EXPECT_TRUE(readTiffProperties(broken.data(), broken.size()).empty());
  const Bytes truncated = tiff(false, {{274, 3, 1, 6}, {271, 2, 3, 0}});
  EXPECT_EQ(readTiffProperties(truncated.data(), 8 + 2 + 12 + 6).size(), 1u);
  EXPECT_TRUE(readTiffProperties(truncated.data(), 7).empty());
}

// --- Files through the imaging library -----------------------------------------------------------

class ImagingLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new ImagingSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override {
    if (!test::haveTool("gm")) GTEST_SKIP() << "GraphicsMagick's gm is not installed";
  }

  // Runs gm convert from a file in the temporary directory to another.
  void gm(const std::string& arguments) {
    const auto result = test::runShell("cd '" + dir_.path() + "' && gm convert " + arguments);
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  // A 3 x 2 PPM whose pixels are all different: red = 40 * column, green = 100 * row.
  std::string distinctPpm() {
    std::string ppm = "P6\n3 2\n255\n";
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) ppm += {char(40 * x), char(100 * y), char(9)};
    }
    test::writeFile(dir_.file("in.ppm"), ppm);
    return "in.ppm";
  }

  PixelImage load(const std::string& name) {
    PixelImage image;
    loadWithGdiplus(image, dir_.file(name));
    return image;
  }

  TempDir dir_;
  static ImagingSession* session_;
};
ImagingSession* ImagingLibraryTest::session_ = nullptr;

// A 1 x 1 BMP with 24 bits per pixel.
Bytes bmp24(uint8_t blue, uint8_t green, uint8_t red) {
  return Bytes{'B', 'M', 58, 0, 0, 0, 0, 0, 0,    0,     54,  0, 0,    0,            // file header
               40,  0,   0,  0, 1, 0, 0, 0, 1,    0,     0,   0, 1,    0,    24, 0,  // info header
               0,   0,   0,  0, 4, 0, 0, 0, 0x13, 0x0B,  0,   0, 0x13, 0x0B, 0,  0,
               0,   0,   0,  0, 0, 0, 0, 0, blue, green, red, 0};  // one row, padded to 4 bytes
}

TEST_F(ImagingLibraryTest, EachSourcePresentsTheFormatThatRepresentsIt) {
  const std::string in = distinctPpm();
  gm(in + " -depth 8 -type TrueColorMatte rgba.png");
  gm(in + " -depth 16 -type TrueColor rgb16.png");
  gm(in + " -colorspace Gray -depth 8 grey.png");
  gm(in + " -colors 8 -type Palette pal.png");
  gm(in + " -monochrome bw.pbm");
  gm("-size 1x40 gradient:red-blue -type Palette pal8.gif");
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"rgba.png", kFormat32bppARGB}, {"rgb16.png", kFormat48bppRGB},
      {"grey.png", kFormat24bppRGB},  {"pal.png", kFormat4bppIndexed},
      {"bw.pbm", kFormat1bppIndexed}, {"pal8.gif", kFormat8bppIndexed},
  };
  for (const auto& [name, format] : expected) {
    SCOPED_TRACE(name);
    const PixelImage image = load(name);
    EXPECT_EQ(longProperty(image, kTagPixelFormat), format);
    if (name == "pal8.gif") continue;
    ASSERT_EQ(image.width, 3u);
    ASSERT_EQ(image.height, 2u);
    if (name == "grey.png" || name == "bw.pbm") continue;
    // Colour sources keep their colours (8-bit exactly; 16-bit through the 8192 scale).
    const uint16_t tolerance = format == kFormat48bppRGB ? 8 : 0;
    EXPECT_NEAR(pixelAt(image, 2, 1).r, 80 * 257, tolerance);
    EXPECT_NEAR(pixelAt(image, 2, 1).g, 100 * 257, tolerance);
    EXPECT_EQ(pixelAt(image, 2, 1).a, 65535);
  }
}

TEST_F(ImagingLibraryTest, TiffOrientationTurnsThePixelsUprightExceptFourBitIndexed) {
  const std::string in = distinctPpm();
  gm(in + " -depth 8 -type TrueColor -orient RightTop o6.tif");
  gm(in + " -colors 6 -type Palette -orient RightTop o6pal.tif");
  const PixelImage turned = load("o6.tif");
  ASSERT_EQ(turned.width, 2u);
  ASSERT_EQ(turned.height, 3u);
  // Clockwise: stored (x, y) goes to row x, column (height - 1 - y).
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 3; ++x) {
      EXPECT_EQ(pixelAt(turned, 1 - y, x).r, 40 * x * 257);
      EXPECT_EQ(pixelAt(turned, 1 - y, x).g, 100 * y * 257);
    }
  }
  EXPECT_EQ(orientation(turned.properties), 6);  // the property stays as it was

  const PixelImage indexed = load("o6pal.tif");
  ASSERT_EQ(indexed.width, 3u);
  EXPECT_EQ(pixelAt(indexed, 2, 0).r, 80 * 257);
}

TEST_F(ImagingLibraryTest, CopiesTheDescriptivePropertiesOnly) {
  if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  gm(distinctPpm() + " -depth 8 -type TrueColor tagged.tif");
  const auto tagged = test::runShell("cd '" + dir_.path() +
                                     "' && exiftool -q -overwrite_original -Make=Maker "
                                     "-DateTimeOriginal='2001:02:03 04:05:06' tagged.tif");
  ASSERT_EQ(tagged.exitCode, 0) << tagged.err;
  const PixelImage image = load("tagged.tif");
  const Property* make = image.properties.find(271);
  ASSERT_NE(make, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(make->data()), "Maker");
  const Property* original = image.properties.find(36867);  // from the Exif directory
  ASSERT_NE(original, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(original->data()), "2001:02:03 04:05:06");
  EXPECT_EQ(image.properties.find(256), nullptr);  // ImageWidth is not descriptive
  EXPECT_EQ(image.properties.items().front().tag, kTagPixelFormat);
}

TEST_F(ImagingLibraryTest, RefusesWhatIsNoStillRasterImage) {
  const std::string svg =
      "<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" "
      "height=\"2\"><image href=\"/etc/passwd\"/></svg>";
  test::writeFile(dir_.file("a.svg"), svg);
  test::writeFile(dir_.file("a.png.svg"), svg);
  test::writeFile(dir_.file("a.msl"),
                  "<?xml version=\"1.0\"?><image><read filename=\"/etc/hosts\"/>"
                  "<write filename=\"written.png\"/></image>");
  test::writeFile(dir_.file("a.ps"), "%!PS\nnewpath 0 0 moveto showpage\n");
  test::writeFile(dir_.file("text:foo.png"), "hello");
  test::writeFile(dir_.file("empty.png"), "");
  gm(distinctPpm() + " -colorspace CMYK cmyk.tif");
  for (const char* name :
       {"a.svg", "a.png.svg", "a.msl", "a.ps", "text:foo.png", "empty.png", "cmyk.tif"}) {
    SCOPED_TRACE(name);
    const std::string file = dir_.file(name);
    EXPECT_EQ(messageOf([&] { load(name); }), "Error reading " + file + ": Unknown Image Format");
  }
  EXPECT_FALSE(std::ifstream(dir_.file("written.png")).good());

  // A name that looks like a coder prefix is just a name: the content decides.
  gm(distinctPpm() + " -depth 8 -type TrueColor real.png");
  test::writeFile(dir_.file("msl:image.png"), test::readFile(dir_.file("real.png")));
  EXPECT_EQ(load("msl:image.png").width, 3u);
}

TEST_F(ImagingLibraryTest, StatusTellsWhatHappened) {
  const std::string missing = dir_.file("missing.png");
  EXPECT_EQ(messageOf([&] { load("missing.png"); }),
            "Error reading " + missing + ": File Not Found");
  // Damaged data in a known format.
  gm(distinctPpm() + " -depth 8 -type TrueColor whole.png");
  Bytes png = test::readFile(dir_.file("whole.png"));
  png.resize(40);
  test::writeFile(dir_.file("cut.png"), png);
  EXPECT_EQ(messageOf([&] { load("cut.png"); }),
            "Error reading " + dir_.file("cut.png") + ": Generic Error");

  // A failed load leaves no pixels and no size that could disagree with them.
  PixelImage image;
  EXPECT_ANY_THROW(loadWithGdiplus(image, dir_.file("cut.png")));
  EXPECT_EQ(image.pixels, nullptr);
  EXPECT_EQ(image.width, 0u);
}

TEST(ImagingSessionTest, NothingOpensOutsideASession) {
  TempDir dir;
  test::writeFile(dir.file("one.bmp"), bmp24(1, 2, 3));
  PixelImage image;
  EXPECT_EQ(messageOf([&] { loadWithGdiplus(image, dir.file("one.bmp")); }),
            "Error reading " + dir.file("one.bmp") + ": Gdiplus Not Initialized");
  {
    ImagingSession outer;
    {
      ImagingSession inner;  // nested sessions: only the outermost one ends the library
    }
    loadWithGdiplus(image, dir.file("one.bmp"));
    EXPECT_EQ(pixelAt(image, 0, 0).r, 3 * 257);
  }
  // The library starts again after it was shut down.
  ImagingSession again;
  PixelImage second;
  loadWithGdiplus(second, dir.file("one.bmp"));
  EXPECT_EQ(second.width, 1u);
}

}  // namespace
}  // namespace tessel
