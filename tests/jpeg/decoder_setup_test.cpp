// Decoder set-up from the marker segments: each segment's effect on the decoder state and the
// image's properties, the frame checks, and the choice between the passes.

#include <gtest/gtest.h>

#include <cstring>

#include "core/messages.h"
#include "core/pixel_image.h"
#include "exif/property_list.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder_jpeg_builder.h"
#include "jpeg/decoder_test_support.h"
#include "jpeg/markers/messages.h"

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::dhtSegment;
using test::dqtSegment;
using test::kEoi;
using test::kSoi;
using test::sofSegment;
using test::sosSegment;

constexpr char kNoError[] = "(no exception)";

struct Decoded {
  PixelImage image;
  DecoderState state;
  std::string message;
};

// Segments the stream and runs decodeImage with a fresh state kept for inspection.
Decoded decode(const Bytes& jpeg, bool infoOnly = false) {
  Decoded d;
  d.message = test::messageOf([&] {
    MarkerList markers;
    RangeTracker tracker(jpeg.data(), static_cast<int32_t>(jpeg.size()));
    segment(markers, tracker, jpeg.data(), static_cast<int32_t>(jpeg.size()));
    decodeImage(markers, d.state, d.image, infoOnly);
  });
  return d;
}

// Tables with a single one-bit code each: DC "0" = difference 0, AC "0" = end of block. A
// block is then the two bits 00.
Bytes oneCodeTables() {
  return dhtSegment({{0x00, {{0x00}}}, {0x10, {{0x00}}}});
}

// A stream whose every block is flat mid grey. `frame` is the SOF segment, `scan` the SOS.
Bytes flatStream(const Bytes& frame, const Bytes& scan, const Bytes& data = {0x00, 0x00, 0x00}) {
  return concat({kSoi, dqtSegment(0), frame, oneCodeTables(), scan, data, kEoi});
}

Bytes greyStream(uint8_t code = 0xC0, uint8_t id = 1, uint32_t width = 8, uint32_t height = 8) {
  return flatStream(sofSegment(code, width, height, {{id, 0x11, 0}}), sosSegment({{id, 0x00}}));
}

Bytes colourStream(uint8_t lumaSampling, std::initializer_list<uint8_t> ids = {1, 2, 3},
                   uint8_t code = 0xC0, uint32_t width = 16, uint32_t height = 16) {
  const uint8_t* id = ids.begin();
  return flatStream(sofSegment(code, width, height,
                               {{id[0], lumaSampling, 0}, {id[1], 0x11, 0}, {id[2], 0x11, 0}}),
                    sosSegment({{id[0], 0x00}, {id[1], 0x00}, {id[2], 0x00}}), Bytes(64, 0x00));
}

std::string description(const PixelImage& image) {
  const Property* p = image.properties.find(kTagCompressionMode);
  return p ? std::string(reinterpret_cast<const char*>(p->data())) : "(none)";
}

uint32_t pixelFormat(const PixelImage& image) {
  const Property* p = image.properties.find(kTagPixelFormat);
  uint32_t value = 0;
  if (p) std::memcpy(&value, p->data(), 4);
  return value;
}

TEST(DecoderSetupTest, JfifResolutionBecomesPropertiesOnlyWithUnits) {
  const auto app0 = [](uint8_t units) {
    return test::segmentBytes(0xE0,
                              {'J', 'F', 'I', 'F', 0, 1, 2, units, 0x01, 0x2C, 0x00, 0x96, 0, 0});
  };
  const Bytes jpeg = greyStream();
  Decoded d = decode(concat({kSoi, app0(3), Bytes(jpeg.begin() + 2, jpeg.end())}));
  ASSERT_EQ(d.message, kNoError);
  EXPECT_EQ(d.image.properties.find(282), nullptr);
  d = decode(concat({kSoi, app0(1), Bytes(jpeg.begin() + 2, jpeg.end())}));
  ASSERT_EQ(d.message, kNoError);
  // In the order set: resolution unit, resolutions, then the frame's and the coding's facts.
  const auto& items = d.image.properties.items();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].tag, 296u);
  uint32_t rational[2];
  std::memcpy(rational, items[2].data(), 8);
  EXPECT_EQ(items[2].tag, 283u);
  EXPECT_EQ(rational[0], 150u);
  EXPECT_EQ(rational[1], 1u);
}

TEST(DecoderSetupTest, QuantizationTablesAreStoredInNaturalOrderOnce) {
  DecoderState state;
  Bytes wide = {0x12};  // 16-bit table 2
  for (int k = 0; k < 64; ++k) {
    wide.push_back(0x01);
    wide.push_back(static_cast<uint8_t>(k));
  }
  Bytes narrow = {0x00};
  for (int k = 0; k < 64; ++k) narrow.push_back(static_cast<uint8_t>(k + 1));
  const Bytes both = concat({wide, narrow});
  applyDqt(state, both.data(), static_cast<int32_t>(both.size()));
  ASSERT_TRUE(state.quantTables[2] && state.quantTables[0]);
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(state.quantTables[2]->values[kZigzagToNatural[k]], float(256 + k));
    EXPECT_EQ(state.quantTables[0]->values[kZigzagToNatural[k]], float(k + 1));
  }
  EXPECT_EQ(test::messageOf([&] { applyDqt(state, narrow.data(), 65); }),
            msg::kDuplicateQuantIndex);
  narrow[0] = 0x04;
  EXPECT_EQ(test::messageOf([&] { applyDqt(state, narrow.data(), 65); }), msg::kInvalidQuantIndex);
  // Two DQT segments of a file defining the same table.
  const Bytes jpeg = greyStream();
  EXPECT_EQ(decode(concat({kSoi, dqtSegment(0), Bytes(jpeg.begin() + 2, jpeg.end())})).message,
            msg::kDuplicateQuantIndex);
}

TEST(DecoderSetupTest, FrameHeaderChecksAndPixelFormats) {
  Decoded d = decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}}, 12), sosSegment({{1, 0}})));
  EXPECT_EQ(d.message, "Unsupported image format (precision=12)");
  d = decode(
      flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}}), sosSegment({{1, 0}})));
  EXPECT_EQ(d.message, "Unsupported image format (number of components=2)");

  struct Case {
    uint8_t precision;
    bool colour, four;
    uint32_t format;
  };
  for (const Case& c : {Case{16, false, false, 1052676}, Case{16, true, true, 3424269}}) {
    const Bytes frame =
        !c.colour ? sofSegment(0xC0, 8, 8, {{1, 0x11, 0}}, c.precision)
        : c.four  ? sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}},
                               c.precision)
                  : sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}, c.precision);
    d = decode(flatStream(frame, sosSegment({{1, 0}}), {}), true);
    EXPECT_EQ(d.message, kNoError);
    EXPECT_EQ(pixelFormat(d.image), c.format);
  }
  // Precision 16 decodes exactly like precision 8.
  d = decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}}, 16), sosSegment({{1, 0}})));
  ASSERT_EQ(d.message, kNoError);
  EXPECT_EQ(d.image.pixels[0], 32896);
}

TEST(DecoderSetupTest, ComponentSlotsAndSamplingLayouts) {
  // Identifiers 1..3, and letters taking the slots by position, decode as colour.
  for (auto ids : {std::initializer_list<uint8_t>{1, 2, 3}, {'R', 'G', 'B'}}) {
    Decoded d = decode(colourStream(0x11, ids));
    ASSERT_EQ(d.message, kNoError);
    EXPECT_TRUE(d.state.components[1] && d.state.components[2] && d.state.components[3]);
    EXPECT_FALSE(d.state.components[0]);
    EXPECT_EQ(description(d.image), "Baseline 1x1");
  }
  // Identifiers 0..2 use slots 0..2, which no layout has.
  EXPECT_EQ(decode(colourStream(0x11, {0, 1, 2})).message,
            "Unsupported sampling ( comp 0: 1 x 1 comp 1: 1 x 1 comp 2: 1 x 1 )");
  EXPECT_EQ(decode(greyStream(0xC0, 0)).message, "Unsupported sampling ( comp 0: 1 x 1 )");
  EXPECT_EQ(decode(colourStream(0x41)).message,
            "Unsupported sampling ( comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1 )");

  // Every layout's name (the pixels of each are checked against the reference elsewhere).
  for (const auto& [sampling, name] : {std::pair{0x21, "1x2"}, {0x12, "2x1"}, {0x22, "2x2"}}) {
    Decoded d = decode(colourStream(uint8_t(sampling), {1, 2, 3}, 0xC0, 17, 9));
    ASSERT_EQ(d.message, kNoError) << name;
    EXPECT_EQ(description(d.image), std::string("Baseline ") + name);
  }

  // Four components with identifiers 1..4: the fourth is dropped and the frame decodes as colour.
  Decoded d = decode(
      flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}}),
                 sosSegment({{1, 0}, {2, 0}, {3, 0}, {4, 0}})));
  EXPECT_EQ(d.message, kNoError);
  EXPECT_EQ(description(d.image), "Baseline 1x1");
  // Chroma that is not 1x1.
  EXPECT_EQ(decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x22, 0}, {2, 0x12, 0}, {3, 0x12, 0}}),
                              sosSegment({{1, 0}, {2, 0}, {3, 0}})))
                .message,
            "Unsupported sampling ( comp 1: 2 x 2 comp 2: 1 x 2 comp 3: 1 x 2 )");
}

TEST(DecoderSetupTest, HuffmanTableIdsAndReplacement) {
  DecoderState state;
  for (uint8_t id : {0x20, 0x04}) {
    const Bytes payload = {id, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
    EXPECT_EQ(test::messageOf([&] { applyDht(state, payload.data(), 18); }), msg::kInvalidHuffmanId)
        << int{id};
  }
  // Two DHT segments defining DC table 0: the second replaces the first. The first maps the
  // block's leading bits 00 to a 5-bit difference, the second (the stream's own) to none.
  const Bytes jpeg = greyStream();
  const Bytes other = dhtSegment({{0x00, {{}, {0x05}}}});
  Decoded d = decode(concat({kSoi, other, Bytes(jpeg.begin() + 2, jpeg.end())}));
  ASSERT_EQ(d.message, kNoError);
  EXPECT_EQ(d.image.pixels[0], 32896);
  const size_t scan = jpeg.size() - 2 - 3 - 10;  // the SOS segment, data and EOI follow
  d = decode(concat(
      {Bytes(jpeg.begin(), jpeg.begin() + scan), other, Bytes(jpeg.begin() + scan, jpeg.end())}));
  ASSERT_EQ(d.message, kNoError);
  EXPECT_NE(d.image.pixels[0], 32896);
}

TEST(DecoderSetupTest, ScanHeaderChecks) {
  const Bytes frame = sofSegment(0xC2, 8, 8, {{1, 0x11, 0}});
  EXPECT_EQ(decode(flatStream(frame, sosSegment({{1, 0}}, 0, 64))).message, msg::kInvalidSpectral);
  EXPECT_EQ(decode(flatStream(frame, sosSegment({{1, 0}}, 0, 0, 0x20))).message,
            msg::kSingleBitRefinement);
  EXPECT_EQ(decode(flatStream(frame, sosSegment({{1, 0}}, 0, 0, 0x21))).message, kNoError);
  // The components of the scan: table indices, and -1 for those not in it.
  Decoded d = decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}),
                                sosSegment({{2, 0x13}}, 1, 5, 0x10)),
                     true);
  ASSERT_EQ(d.message, kNoError);
  EXPECT_EQ(d.state.components[1]->dcIndex, -1);
  EXPECT_FALSE(d.state.components[1]->inScan);
  EXPECT_EQ(d.state.components[2]->acIndex, 3);

  DecoderState state;
  const Bytes dri = {0x00, 0x10, 0x00};
  EXPECT_EQ(test::messageOf([&] { applyDri(state, dri.data(), 3); }), msg::kDriWrongSize);
  applyDri(state, dri.data(), 2);
  EXPECT_EQ(state.restartInterval, 16u);
}

TEST(DecoderSetupTest, ProcessesAndFramesThatDecodeToNothing) {
  // Extended sequential: described in info-only mode, refused when decoding; the description is
  // stored either way.
  Decoded d = decode(colourStream(0x22, {1, 2, 3}, 0xC1), true);
  EXPECT_EQ(d.message, kNoError);
  EXPECT_EQ(description(d.image), "Extended sequential 2x2");
  d = decode(colourStream(0x22, {1, 2, 3}, 0xC1));
  EXPECT_EQ(d.message, "Unsupported image format (mode=SOF1)");
  EXPECT_EQ(description(d.image), "Extended sequential 2x2");
  EXPECT_EQ(decode(colourStream(0x11, {1, 2, 3}, 0xC9)).message,
            "Unsupported image format (mode=SOF9)");

  // A lossless frame's scan header holds a predictor (Ss) and Se = 0; it is refused by its
  // process, not mistaken for bad spectral endpoints.
  d = decode(flatStream(sofSegment(0xC3, 8, 8, {{1, 0x11, 0}}, 16), sosSegment({{1, 0}}, 1, 0)));
  EXPECT_EQ(d.message, "Unsupported image format (mode=SOF3)");
  EXPECT_EQ(description(d.image), "Lossless gray");

  // Height 0 (a DNL marker would give it) is refused; its facts are still described.
  d = decode(greyStream(0xC0, 1, 8, 0));
  EXPECT_EQ(d.message, "Unsupported image size (width=8, height=0)");
  EXPECT_EQ(d.image.pixels, nullptr);
  EXPECT_EQ(decode(greyStream(0xC0, 1, 8, 0), true).message, kNoError);

  // No scan at all.
  const Bytes noScan = concat({kSoi, dqtSegment(0), sofSegment(0xC0, 8, 8, {{1, 0x11, 0}}), kEoi});
  EXPECT_EQ(decode(noScan).message, msg::kNoCompressedData);
}

TEST(DecoderSetupTest, TablesTheScanNeedsMustExist) {
  // A component whose Tq names no table.
  EXPECT_EQ(
      decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 1}}), sosSegment({{1, 0}}))).message,
      msg::kMissingQuantTable);
  // A baseline file with one component per scan: the components missing from the first scan
  // have no Huffman tables.
  EXPECT_EQ(decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}),
                              sosSegment({{1, 0x00}})))
                .message,
            msg::kMissingHuffmanTable);
  // Bits that start no code: the one-code tables only know "0".
  EXPECT_EQ(
      decode(flatStream(sofSegment(0xC0, 8, 8, {{1, 0x11, 0}}), sosSegment({{1, 0}}), {0xFF, 0x00}))
          .message,
      msg::kCorruptImageData);
}

// An Exif APP1 segment whose IFD1 names an embedded JPEG as its thumbnail.
Bytes exifWithThumbnail(const Bytes& thumbnail) {
  const auto n = static_cast<uint8_t>(thumbnail.size());
  const auto n8 = static_cast<uint8_t>(thumbnail.size() >> 8);
  // IFD0: Orientation 1, then IFD1 at 26: JPEGInterchangeFormat (513) at 56 and its length (514).
  Bytes tiff = {'I', 'I', 42, 0,  8, 0, 0, 0, 1, 0, 0x12, 1,  3, 0, 1, 0, 0, 0,  1,
                0,   0,   0,  26, 0, 0, 0, 2, 0, 1, 2,    4,  0, 1, 0, 0, 0, 56, 0,
                0,   0,   2,  2,  4, 0, 1, 0, 0, 0, n,    n8, 0, 0, 0, 0, 0, 0};
  tiff.insert(tiff.end(), thumbnail.begin(), thumbnail.end());
  return test::segmentBytes(0xE1, concat({{'E', 'x', 'i', 'f', 0, 0}, tiff}));
}

TEST(DecoderSetupTest, ThumbnailFactsAreCollectedWithoutPixels) {
  const Bytes main = colourStream(0x22);
  const Bytes thumbnail = greyStream(0xC0, 1, 8, 8);
  Decoded d =
      decode(concat({kSoi, exifWithThumbnail(thumbnail), Bytes(main.begin() + 2, main.end())}));
  ASSERT_EQ(d.message, kNoError);
  ASSERT_TRUE(d.image.pixels);
  ASSERT_TRUE(d.image.thumbnail);
  EXPECT_EQ(d.image.thumbnail->width, 8u);
  EXPECT_EQ(d.image.thumbnail->pixels, nullptr);
  EXPECT_EQ(pixelFormat(*d.image.thumbnail), 2051u);
  EXPECT_EQ(description(*d.image.thumbnail), "Baseline gray");

  // A thumbnail the decoder cannot handle fails the main image, since it is examined while the
  // APP1 segment configures the decoder.
  const Bytes badThumbnail = colourStream(0x41, {1, 2, 3}, 0xC0, 8, 8);
  d = decode(concat({kSoi, exifWithThumbnail(badThumbnail), Bytes(main.begin() + 2, main.end())}));
  EXPECT_EQ(d.message, "Unsupported sampling ( comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1 )");
}

}  // namespace
}  // namespace tessel
