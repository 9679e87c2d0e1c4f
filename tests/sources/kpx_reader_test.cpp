#include <gtest/gtest.h>

#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/image_sources.h"
#include "sources/kpx_messages.h"
#include "support/kpx_builder.h"

namespace tessel {
namespace {

using test::Bytes;
using test::KpxWriter;

// Reads `bytes` as a .kpx file into `image`; returns the failure message or "" on success.
std::string readKpx(const Bytes& bytes, PixelImage& image) {
  test::TempDir dir;
  const std::string name = dir.file("source.kpx");
  test::writeFile(name, bytes);
  try {
    readKpxFile(image, name);
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "";
}

std::string readKpx(const Bytes& bytes) {
  PixelImage image;
  return readKpx(bytes, image);
}

TEST(KpxReaderTest, ReadsPixelsAndAppendsPropertiesInFileOrder) {
  const std::vector<uint16_t> samples = {1, 2, 3, 65535, 400, 500, 600, 0};
  PixelImage image;
  setAscii(image.properties, 271, "Old", 4);
  const Bytes file = KpxWriter()
                         .prop({test::kpxAscii(271, "Nikon"), test::kpxShort(274, 6)})
                         .rgba(2, 1, samples)
                         .prop({test::kpxAscii(271, "Canon"), test::kpxLong(49152, 0x21808)})
                         .finish();
  ASSERT_EQ(readKpx(file, image), "");
  ASSERT_EQ(image.width, 2u);
  EXPECT_EQ(std::memcmp(image.pixels.get(), samples.data(), 16), 0);

  // Nothing is replaced: three items carry tag 271, in list order; lookups find the first.
  const auto& items = image.properties.items();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_STREQ(reinterpret_cast<const char*>(items[3].data()), "Canon");
  EXPECT_EQ(items[3].tag, 271u);
  EXPECT_EQ(orientation(image.properties), 6);
}

TEST(KpxReaderTest, SmallestFilesAndEmptySections) {
  PixelImage image;
  ASSERT_EQ(readKpx(KpxWriter().finish(), image), "");  // "KPRX" "XRPK"

  // An empty PROP section, an item of count 0, and RGBA sections of width or height 0.
  ASSERT_EQ(readKpx(KpxWriter().section("PROP", {}).prop({{700, 7, 0, {}}}).finish(), image), "");
  ASSERT_EQ(image.properties.count(), 1u);
  EXPECT_EQ(image.properties.items()[0].size, 0u);
  for (const auto& [w, h] : {std::pair<uint32_t, int32_t>{0, 5}, {7, 0}}) {
    PixelImage empty;
    ASSERT_EQ(readKpx(KpxWriter().rgba(w, h, {}).finish(), empty), "");
    EXPECT_EQ(empty.pixels, nullptr);
  }
}

TEST(KpxReaderTest, LaterRgbaSectionReplacesPixelsAndAcceptedPartsSurviveFailure) {
  PixelImage image;
  const Bytes file = KpxWriter()
                         .rgba(1, 1, {9, 9, 9, 9})
                         .prop({test::kpxShort(274, 3)})
                         .rgba(1, 2, {1, 2, 3, 4, 5, 6, 7, 8})
                         .section("JUNK", {})
                         .finish();
  EXPECT_EQ(readKpx(file, image), msg::kKpxGarbageSectionKey);
  EXPECT_EQ(image.height, 2u);
  EXPECT_EQ(image.pixels[7], 8);
  EXPECT_EQ(orientation(image.properties), 3);
}

TEST(KpxReaderTest, LargestPropertyFits) {
  // 65535 DOUBLE values: 524280 value bytes, held on the heap with the zero byte after them.
  test::KpxProperty big{33432, 12, 65535, Bytes(8 * 65535, 0xAB)};
  PixelImage image;
  ASSERT_EQ(readKpx(KpxWriter().prop({big}).finish(), image), "");
  EXPECT_EQ(image.properties.items()[0].size, 524280u);
  EXPECT_EQ(image.properties.items()[0].data()[524280], 0);
}

TEST(KpxReaderTest, MalformedFilesFailWithTheirMessage) {
  const Bytes pixel = test::kpxRgbaBody(1, 1, {1, 2, 3, 4});
  Bytes widthTooLarge = test::kpxRgbaBody(1000001, 0, {});
  Bytes negativeHeight = test::kpxRgbaBody(0, -1, {});
  // A 65536 x 32768 image needs exactly 2^34 pixel bytes: the 32-bit product would wrap to 0.
  Bytes wrapsToZero = test::kpxRgbaBody(65536, 32768, {});
  Bytes itemPastSection = test::kpxPropBody({test::kpxLong(1, 2)});
  itemPastSection.pop_back();

  const struct {
    const char* what;
    Bytes file;
    const char* message;
  } cases[] = {
      {"too short", {'K', 'P', 'R'}, msg::kKpxMissingMagic},
      {"ends after magic", KpxWriter().unterminated(), msg::kKpxMissingSectionKey},
      {"byte after terminator", KpxWriter().raw({'X', 'R', 'P', 'K', 0}).unterminated(),
       msg::kKpxGarbageAfterTerminator},
      {"key without length", KpxWriter().raw({'P', 'R', 'O', 'P', 8, 0}).unterminated(),
       msg::kKpxMissingSectionLength},
      {"length below 8", KpxWriter().section("PROP", {}, 7).finish(),
       msg::kKpxGarbageSectionLength},
      {"negative length", KpxWriter().section("PROP", {}, -8).finish(),
       msg::kKpxGarbageSectionLength},
      {"length past end", KpxWriter().section("PROP", {}, 13).finish(),
       msg::kKpxGarbageSectionLength},
      {"unknown key", KpxWriter().section("prop", {}).finish(), msg::kKpxGarbageSectionKey},
      // The length is checked before the key, and a property's type before its count.
      {"unknown key, length 7", KpxWriter().section("prop", {}, 7).finish(),
       msg::kKpxGarbageSectionLength},
      {"type 0 reaching past section", KpxWriter().section("PROP", {1, 0, 0, 0, 9, 0}).finish(),
       "Invalid property type"},
      {"terminator without key room", KpxWriter().raw({'X', 'R'}).unterminated(),
       msg::kKpxMissingSectionKey},
      {"value past section", KpxWriter().section("PROP", itemPastSection).finish(),
       msg::kKpxGarbagePropCount},
      {"5 bytes left in PROP", KpxWriter().section("PROP", Bytes(5, 0)).finish(),
       msg::kKpxTruncatedProp},
      {"SSHORT property", KpxWriter().prop({{1, 8, 1, {0, 0}}}).finish(), "Invalid property type"},
      {"empty RGBA", KpxWriter().section("RGBA", {}).finish(), msg::kKpxTruncatedRgba},
      {"width 1000001", KpxWriter().section("RGBA", widthTooLarge).finish(),
       msg::kKpxGarbageDimensions},
      {"height -1", KpxWriter().section("RGBA", negativeHeight).finish(),
       msg::kKpxGarbageDimensions},
      {"pixels wrap", KpxWriter().section("RGBA", wrapsToZero).finish(),
       msg::kKpxGarbageDimensions},
      {"pixel missing", KpxWriter().section("RGBA", Bytes(pixel.begin(), pixel.end() - 1)).finish(),
       msg::kKpxGarbageDimensions},
      {"pixel byte extra", KpxWriter().section("RGBA", test::concat({pixel, {0}})).finish(),
       msg::kKpxGarbageDimensions},
  };
  for (const auto& c : cases) EXPECT_EQ(readKpx(c.file), c.message) << c.what;
}

TEST(KpxReaderTest, EmptyOrMissingFilesReportTheMappingFailure) {
  EXPECT_NE(readKpx({}).find("failed on CreateFileMapping"), std::string::npos);
  PixelImage image;
  EXPECT_THROW(readKpxFile(image, "/nonexistent/x.kpx"), RawLayerException);
}

}  // namespace
}  // namespace tessel
