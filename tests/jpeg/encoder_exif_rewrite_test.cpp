// The Exif APP1 segment of a merged file: overrides patched in place, the thumbnail re-encoded
// from the merged image under the old thumbnail's structure, the length entry in the block's byte
// order, the block never shrinking, and the refusals.

#include <gtest/gtest.h>

#include <cstring>

#include "exif/property_list.h"
#include "exif/tiff_builder.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"
#include "jpeg/markers/app1_marker.h"

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::segmentBytes;

constexpr char kOldDate[] = "1999:01:01 00:00:00";
constexpr char kNewDate[] = "2001:02:03 04:05:06";

// Fixed layout of the TIFF block (offsets from the TIFF header).
constexpr uint32_t kIfd0 = 8;             // DateTime, ExifIFD pointer; next: IFD1
constexpr uint32_t kExifIfd = 40;         // DateTimeOriginal
constexpr uint32_t kIfd1 = 60;            // ThumbnailOffset, ThumbnailLength
constexpr uint32_t kDateValue = 90;       // 20 bytes of DateTime
constexpr uint32_t kOriginalValue = 110;  // DateTimeOriginal's bytes
constexpr uint32_t kThumbnail = 140;

struct ExifOptions {
  bool bigEndian = false;
  uint32_t originalCount = 20;  // the count of DateTimeOriginal
  Bytes thumbnail;              // empty: IFD1 has no thumbnail entries
  Bytes trailer;                // bytes after the thumbnail inside the block
};

// An APP1 payload: the Exif identifier, then a TIFF block with IFD0 (DateTime, Exif pointer), the
// Exif IFD (DateTimeOriginal), IFD1 (the thumbnail entries), the values and the thumbnail.
Bytes exifPayload(const ExifOptions& o) {
  test::TiffBlock block(o.bigEndian, kThumbnail + o.thumbnail.size() + o.trailer.size());
  block.header(kIfd0)
      .ifd(kIfd0, {{306, 2, 20, kDateValue}, {34665, 4, 1, kExifIfd}}, kIfd1)
      .ifd(kExifIfd, {{36867, 2, o.originalCount, kOriginalValue}})
      .bytes(kDateValue, std::string(kOldDate, 20))
      .bytes(kOriginalValue, std::string(kOldDate, 20));
  if (o.thumbnail.empty()) {
    block.ifd(kIfd1, {{259, 3, 1, 0}});
  } else {
    block.ifd(kIfd1,
              {{513, 4, 1, kThumbnail}, {514, 4, 1, static_cast<uint32_t>(o.thumbnail.size())}});
    block.bytes(kThumbnail, o.thumbnail);
  }
  block.bytes(kThumbnail + o.thumbnail.size(), o.trailer);
  return concat({Bytes{'E', 'x', 'i', 'f', 0, 0}, block.data});
}

// A metadata source: the given APP1 payload, then the structure of a 4:2:0 file of 40 x 24.
Bytes sourceWith(const Bytes& app1) {
  Bytes source = test::typicalSource(40, 24);
  const Bytes segment = segmentBytes(0xE1, app1);
  source.insert(source.begin() + 2, segment.begin(), segment.end());
  return source;
}

// A baseline thumbnail made by libjpeg-turbo.
Bytes turboThumbnail(uint32_t width, uint32_t height, int quality = 75, uint32_t seed = 1) {
  test::EncodeOptions options;
  options.quality = quality;
  return test::encodeWithTurbo(width, height, test::makeRgbPicture(width, height, seed), options);
}

PropertyList dateOverrides(const char* text = kNewDate) {
  PropertyList list;
  for (uint32_t tag : {306u, 36867u, 36868u}) setAscii(list, tag, text, 20);
  return list;
}

// The payload of the first APP1 of a merged file.
Bytes mergedApp1(const Bytes& source, const PropertyList& overrides, const PixelImage& image) {
  test::ParsedJpeg parsed(source);
  const Bytes merged = encodeJpegFile(image, parsed.markers(), overrides, Background{});
  for (const auto& segment : test::segmentsUpToScan(merged)) {
    if (segment.code == 0xE1) return Bytes(segment.bytes.begin() + 4, segment.bytes.end());
  }
  ADD_FAILURE() << "no APP1 in the merged file";
  return {};
}

std::string mergeMessage(const Bytes& source, const PropertyList& overrides) {
  return test::messageOf([&] {
    test::ParsedJpeg parsed(source);
    encodeJpegFile(test::fromRgb8(test::makeRgbPicture(40, 24), 40, 24), parsed.markers(),
                   overrides, Background{});
  });
}

uint32_t read32(const Bytes& bytes, size_t at, bool bigEndian) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | bytes[at + (bigEndian ? i : 3 - i)];
  return value;
}

// Position inside the APP1 payload of an offset in the TIFF block.
constexpr size_t inPayload(uint32_t tiffOffset) {
  return 6 + tiffOffset;
}
// Where IFD1's ThumbnailLength value field is: the count, one entry, then the second's value.
constexpr size_t kLengthField = inPayload(kIfd1 + 2 + 12 + 8);

PixelImage picture() {
  return test::fromRgb8(test::makeRgbPicture(40, 24, 7), 40, 24);
}

TEST(ExifRewrite, PatchesDatesAndReplacesTheThumbnailInEitherByteOrder) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "MM" : "II");
    ExifOptions options;
    options.bigEndian = bigEndian;
    options.thumbnail = turboThumbnail(32, 24, 100, 3);  // a large old thumbnail
    options.trailer = Bytes(9, 0xAB);
    const Bytes app1 = exifPayload(options);
    const Bytes out = mergedApp1(sourceWith(app1), dateOverrides(), picture());

    // The new thumbnail is shorter: the block keeps its length, zeros follow the new thumbnail
    // up to the old one's end, and what came after the old one stays.
    ASSERT_EQ(out.size(), app1.size());
    const uint32_t length = read32(out, kLengthField, bigEndian);
    ASSERT_LT(length, options.thumbnail.size());
    const size_t start = inPayload(kThumbnail);
    const Bytes thumbnail(out.begin() + start, out.begin() + start + length);
    const size_t oldEnd = start + options.thumbnail.size();
    for (size_t i = start + length; i < oldEnd; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(Bytes(out.begin() + oldEnd, out.end()), options.trailer);

    // A full JPEG with the old thumbnail's frame size that decodes cleanly.
    const auto decoded = test::decodeWithTurbo(thumbnail);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 32u);

    // Everything before the thumbnail is the source's, except the two patched dates and the
    // length.
    Bytes expected(app1.begin(), app1.begin() + start);
    std::memcpy(&expected[inPayload(kDateValue)], kNewDate, 20);
    std::memcpy(&expected[inPayload(kOriginalValue)], kNewDate, 20);
    for (int i = 0; i < 4; ++i) {
      expected[kLengthField + i] = static_cast<uint8_t>(length >> (bigEndian ? 24 - 8 * i : 8 * i));
    }
    EXPECT_EQ(Bytes(out.begin(), out.begin() + start), expected);
  }
}

TEST(ExifRewrite, ALongerThumbnailGrowsTheBlockOverWhatFollowedIt) {
  ExifOptions options;
  // A flat old thumbnail is small under quality-100 tables; a textured picture is not.
  test::EncodeOptions flat;
  flat.quality = 100;
  options.thumbnail = test::encodeWithTurbo(32, 24, Bytes(32 * 24 * 3, 128), flat);
  options.trailer = Bytes(5, 0xAB);
  const Bytes app1 = exifPayload(options);
  const Bytes out = mergedApp1(sourceWith(app1), PropertyList{}, picture());
  const uint32_t length = read32(out, kLengthField, false);
  ASSERT_GT(length, options.thumbnail.size() + options.trailer.size());
  EXPECT_EQ(out.size(), inPayload(kThumbnail) + length);
  EXPECT_EQ(out[out.size() - 1], 0xD9);
}

TEST(ExifRewrite, WithoutAThumbnailOnlyTheOverridesChange) {
  ExifOptions options;
  const Bytes app1 = exifPayload(options);
  Bytes expected = app1;
  std::memcpy(&expected[inPayload(kDateValue)], kNewDate, 20);
  std::memcpy(&expected[inPayload(kOriginalValue)], kNewDate, 20);
  EXPECT_EQ(mergedApp1(sourceWith(app1), dateOverrides(), picture()), expected);

  // A "thumbnail" that is not a JPEG is left as it is.
  options.thumbnail = Bytes(30, 0x55);
  const Bytes notJpeg = exifPayload(options);
  EXPECT_EQ(mergedApp1(sourceWith(notJpeg), PropertyList{}, picture()), notJpeg);

  // An APP1 without Exif (here an XMP packet) is copied unchanged.
  const Bytes xmp =
      concat({Bytes(kXmpSignature, kXmpSignature + kXmpSignatureSize), Bytes{'<', 'x', '/', '>'}});
  EXPECT_EQ(mergedApp1(sourceWith(xmp), dateOverrides(), picture()), xmp);
}

// Tags 513 and 514 may describe a thumbnail outside the segment: the parse accepts any
// unidentified bytes of the file that start a JPEG.
TEST(ExifRewrite, AThumbnailReachingOutsideTheSegmentIsOnlyReplacedInsideIt) {
  ExifOptions options;
  options.thumbnail = turboThumbnail(32, 24, 90);
  Bytes app1 = exifPayload(options);
  // The stated length is one byte longer than the block: the last byte is the 0xFF of the next
  // segment (as some cameras write it).
  app1[kLengthField] = static_cast<uint8_t>(app1[kLengthField] + 1);
  const Bytes source = sourceWith(app1);
  test::ParsedJpeg parsed(source);
  ASSERT_TRUE(dynamic_cast<const APP1Marker&>(*parsed.markers().items[0]).thumbnail);
  const Bytes merged = encodeJpegFile(picture(), parsed.markers(), PropertyList{}, Background{});
  const auto segments = test::segmentsUpToScan(merged);
  ASSERT_EQ(segments[0].code, 0xE1);
  const Bytes out(segments[0].bytes.begin() + 4, segments[0].bytes.end());
  const uint32_t length = read32(out, kLengthField, false);
  EXPECT_EQ(out.size(), std::max<size_t>(app1.size(), inPayload(kThumbnail) + length));
  EXPECT_TRUE(test::decodeWithTurbo(Bytes(out.begin() + inPayload(kThumbnail),
                                          out.begin() + inPayload(kThumbnail) + length))
                  .ok);
  // The segment after it is untouched.
  EXPECT_EQ(segments[1].bytes, test::segmentsUpToScan(source)[1].bytes);

  // A thumbnail that starts before the segment (here inside an unknown APP9 segment that comes
  // first) is not the Exif block's to replace: the block is copied with only the overrides.
  ExifOptions before;
  before.thumbnail = Bytes(4, 0);  // placeholder entries, pointed elsewhere below
  Bytes app1Before = exifPayload(before);
  const Bytes thumb = turboThumbnail(16, 8, 90);
  const Bytes app9 = segmentBytes(0xE9, thumb);
  // APP9 payload starts 4 bytes after its marker; the TIFF header is 6 bytes into APP1's payload,
  // which starts 4 bytes after APP1's marker.
  const int32_t offset = -static_cast<int32_t>(6 + 4 + app9.size() - 4);
  for (int i = 0; i < 4; ++i) {
    app1Before[inPayload(kIfd1 + 2 + 8) + i] = static_cast<uint8_t>(uint32_t(offset) >> (8 * i));
    app1Before[kLengthField + i] = static_cast<uint8_t>(thumb.size() >> (8 * i));
  }
  Bytes withApp9 = sourceWith(app1Before);
  withApp9.insert(withApp9.begin() + 2, app9.begin(), app9.end());
  test::ParsedJpeg parsedBefore(withApp9);
  ASSERT_TRUE(dynamic_cast<const APP1Marker&>(*parsedBefore.markers().items[1]).thumbnail);
  const Bytes copied =
      encodeJpegFile(picture(), parsedBefore.markers(), dateOverrides(), Background{});
  const auto copiedSegments = test::segmentsUpToScan(copied);
  ASSERT_EQ(copiedSegments[1].code, 0xE1);
  Bytes expected = app1Before;
  std::memcpy(&expected[inPayload(kDateValue)], kNewDate, 20);
  std::memcpy(&expected[inPayload(kOriginalValue)], kNewDate, 20);
  EXPECT_EQ(Bytes(copiedSegments[1].bytes.begin() + 4, copiedSegments[1].bytes.end()), expected);
  EXPECT_EQ(copiedSegments[0].bytes, app9);
}

TEST(ExifRewrite, RefusesOverridesOfAnotherSizeAndBlocksThatOutgrowASegment) {
  ExifOptions options;
  options.originalCount = 19;
  EXPECT_EQ(mergeMessage(sourceWith(exifPayload(options)), dateOverrides()),
            msg::kMergeOverrideSizeMismatch);

  PropertyList badType;
  badType.append(Property(306, 13, 1, "x", 1));
  EXPECT_EQ(mergeMessage(sourceWith(exifPayload(ExifOptions{})), badType), "Invalid property type");

  // A new thumbnail that would take the block past 65533 bytes: a flat old thumbnail is small
  // under quality-100 tables, noise under the same tables is not.
  options = ExifOptions{};
  test::EncodeOptions flat;
  flat.quality = 100;
  options.thumbnail = test::encodeWithTurbo(320, 240, Bytes(320 * 240 * 3, 128), flat);
  ASSERT_LT(options.thumbnail.size(), 20000u);
  const Bytes source = sourceWith(exifPayload(options));
  const std::string message = test::messageOf([&] {
    test::ParsedJpeg parsed(source);
    encodeJpegFile(test::fromRgb8(test::makeRgbPicture(320, 240, 5), 320, 240), parsed.markers(),
                   PropertyList{}, Background{});
  });
  EXPECT_NE(message.find("does not fit in an APP1 segment"), std::string::npos) << message;
}

TEST(ExifRewrite, AThumbnailWithItsOwnExifThumbnailIsRewrittenToo) {
  // The inner thumbnail sits in an Exif block inside the outer thumbnail.
  ExifOptions inner;
  inner.thumbnail = turboThumbnail(8, 8, 50);
  Bytes outer = turboThumbnail(32, 24, 50);
  const Bytes innerApp1 = segmentBytes(0xE1, exifPayload(inner));
  outer.insert(outer.begin() + 2, innerApp1.begin(), innerApp1.end());
  ExifOptions options;
  options.thumbnail = outer;
  const Bytes out = mergedApp1(sourceWith(exifPayload(options)), dateOverrides(), picture());

  const uint32_t length = read32(out, kLengthField, false);
  const Bytes thumbnail(out.begin() + inPayload(kThumbnail),
                        out.begin() + inPayload(kThumbnail) + length);
  ASSERT_TRUE(test::decodeWithTurbo(thumbnail).ok);
  // Its own Exif block got the new date and an 8 x 8 thumbnail of its own.
  const auto segments = test::segmentsUpToScan(thumbnail);
  ASSERT_EQ(segments[0].code, 0xE1);
  const Bytes nested(segments[0].bytes.begin() + 4, segments[0].bytes.end());
  EXPECT_EQ(std::memcmp(&nested[inPayload(kDateValue)], kNewDate, 20), 0);
  const uint32_t nestedLength = read32(nested, kLengthField, false);
  const auto innerDecoded =
      test::decodeWithTurbo(Bytes(nested.begin() + inPayload(kThumbnail),
                                  nested.begin() + inPayload(kThumbnail) + nestedLength));
  EXPECT_EQ(innerDecoded.width, 8u);
}

}  // namespace
}  // namespace tessel
