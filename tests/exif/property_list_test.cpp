// The property list and the pixel image that carries one.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "exif/messages.h"
#include "exif/property_list.h"

namespace tessel {
namespace {

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "";
}

TEST(PropertyTypes, SizesAndRejectedTypes) {
  EXPECT_EQ(typeSize(kTypeDouble), 8u);
  for (uint32_t type : {0u, 6u, 8u, 13u, 0x10003u, 0xFFFFFFFFu}) {
    EXPECT_EQ(typeSizeOrZero(type), 0u) << type;
    EXPECT_EQ(errorOf([&] { typeSize(type); }), msg::kInvalidPropertyType) << type;
    EXPECT_EQ(errorOf([&] { makeProperty(1, type, 1, "x"); }), msg::kInvalidPropertyType);
  }
}

TEST(PropertyValues, AsciiValuesAreAlwaysFollowedByAZeroByte) {
  for (uint32_t count : {0u, 24u, 200u}) {
    const std::string text(count, 'q');
    PropertyList list;
    setAscii(list, 270, text.data(), count);
    const Property* item = list.find(270);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->size, count);
    EXPECT_EQ(std::memcmp(item->data(), text.data(), count), 0);
    EXPECT_EQ(item->data()[count], 0);
  }
  // A size that does not fit in 32 bits is refused rather than wrapped.
  EXPECT_EQ(errorOf([] { makeProperty(1, kTypeDouble, 0x20000000u, nullptr); }),
            msg::kPropertyTooLarge);
}

TEST(PropertyValues, NumericSettersStoreHostOrder) {
  PropertyList list;
  setRational(list, 282, 300, 7);
  setFloat(list, 305, -2.5f);
  setCompressionMode(list, "RAW");
  uint32_t r[2];
  std::memcpy(r, list.find(282)->data(), 8);
  EXPECT_EQ(r[0], 300u);
  EXPECT_EQ(r[1], 7u);
  float f;
  std::memcpy(&f, list.find(305)->data(), 4);
  EXPECT_EQ(f, -2.5f);
  const Property* mode = list.find(kTagCompressionMode);
  EXPECT_EQ(mode->count, 4u);
  EXPECT_STREQ(reinterpret_cast<const char*>(mode->data()), "RAW");
}

TEST(PropertyListOrder, SetReplacesInPlaceAndAppendKeepsDuplicates) {
  PropertyList list;
  setAscii(list, 306, "2001", 5);
  setShort(list, 274, 1);
  setAscii(list, 306, "2002:02", 8);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list.items()[0].tag, 306u);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.items()[0].data()), "2002:02");
  // The type is not compared: a LONG replaces the SHORT of the same tag.
  setLong(list, 274, 3);
  EXPECT_EQ(list.items()[1].type, uint32_t{kTypeLong});
  EXPECT_EQ(list.count(), 2u);

  // A set whose bytes come from the item it replaces.
  setAscii(list, 306, list.find(306)->data() + 5, 3);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.find(306)->data()), "02");

  list.append(makeProperty(274, kTypeAscii, 2, "x"));
  EXPECT_EQ(list.count(), 3u);
  EXPECT_EQ(list.find(274)->type, uint32_t{kTypeLong});  // the first wins

  // Items survive the list's growth.
  for (uint32_t tag = 1; tag <= 5; ++tag) setShort(list, tag, uint16_t(tag));
  EXPECT_EQ(list.count(), 8u);
  EXPECT_STREQ(reinterpret_cast<const char*>(list.find(306)->data()), "02");
}

TEST(PropertyOrientation, OnlyASingleShortCounts) {
  PropertyList list;
  EXPECT_FALSE(hasOrientation(list));
  EXPECT_EQ(errorOf([&] { orientation(list); }), msg::kMissingImageProperty);
  setLong(list, 274, 6);
  EXPECT_FALSE(hasOrientation(list));
  EXPECT_EQ(errorOf([&] { orientation(list); }), msg::kMissingImageProperty);

  PropertyList two;
  const uint16_t values[2] = {6, 8};
  two.set(Property(274, kTypeShort, 2, values, 4));
  EXPECT_TRUE(hasOrientation(two));
  EXPECT_EQ(errorOf([&] { orientation(two); }), msg::kIncorrectCount);

  PropertyList one;
  setShort(one, 274, 8);
  EXPECT_EQ(orientation(one), 8);
}

TEST(PropertyFilter, DescriptiveTagsOnly) {
  for (uint32_t tag : {271u, 274u, 36867u}) {
    EXPECT_TRUE(isImagePropertyTag(tag)) << tag;
    EXPECT_FALSE(isImagePropertyTag(tag | 0x30000)) << tag;  // namespaced tags are not
  }
  for (uint32_t tag : {273u, 513u, 34665u, 49153u}) {
    EXPECT_FALSE(isImagePropertyTag(tag)) << tag;
  }
}

TEST(PixelImageLife, ClearRemovesEveryLevel) {
  PixelImage image;
  image.setPixels(2, 3, PixelImage::allocatePixels(2, 3));
  setShort(image.properties, 274, 1);
  image.thumbnail = std::make_unique<PixelImage>();
  image.thumbnail->width = 160;
  image.thumbnail->thumbnail = std::make_unique<PixelImage>();
  setAscii(image.thumbnail->properties, 271, "x", 2);
  image.clear();
  EXPECT_EQ(image.width | image.height, 0u);
  EXPECT_EQ(image.pixels, nullptr);
  EXPECT_EQ(image.thumbnail, nullptr);
  EXPECT_TRUE(image.properties.empty());
}

TEST(PixelImageLife, EmptyAndOversizedBlocks) {
  EXPECT_EQ(PixelImage::allocatePixels(0, 5), nullptr);
  EXPECT_EQ(PixelImage::allocatePixels(7, 0), nullptr);
  // A size far beyond any memory fails with a message instead of wrapping or crashing.
  const std::string error = errorOf([] { PixelImage::allocatePixels(0xFFFFFFFF, 0xFFFFFFFF); });
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_NE(errorOf([] { PixelImage::allocatePixels(0x10000000, 0x1000); }), "");
}

}  // namespace
}  // namespace tessel
