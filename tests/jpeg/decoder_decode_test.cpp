// Whole decodes: damaged and cut-short data, restart intervals, runs past the block, memory
// limits, and the progressive pass's scans and the segments between them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/messages.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/decoder_jpeg_builder.h"
#include "jpeg/decoder_test_support.h"
#include "jpeg/markers/messages.h"
#include "platform/system.h"

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::kEoi;
using test::kSoi;

constexpr char kNoError[] = "(no exception)";

Bytes encoded(uint32_t width, uint32_t height, test::EncodeOptions options) {
  return test::encodeWithTurbo(width, height, test::makeRgbPicture(width, height), options);
}

test::EncodeOptions progressive(int lumaH = 2, int lumaV = 2) {
  test::EncodeOptions options;
  options.progressive = true;
  options.lumaH = lumaH;
  options.lumaV = lumaV;
  return options;
}

// Decodes with this library; the message, or "(no exception)".
std::string decodeInto(const Bytes& jpeg, PixelImage& image) {
  return test::messageOf([&] { test::decodeBytes(jpeg, image); });
}

void expectLikeReference(const Bytes& jpeg) {
  PixelImage image;
  ASSERT_EQ(decodeInto(jpeg, image), kNoError);
  const test::reference::Image expected = test::reference::decode(jpeg, kIdctScale.data());
  ASSERT_TRUE(expected.ok);
  EXPECT_EQ(test::samplesDifferingFrom(image, expected), 0);
}

bool samePixels(const PixelImage& a, const PixelImage& b, uint32_t rows) {
  return a.width == b.width &&
         std::memcmp(a.pixels.get(), b.pixels.get(), size_t{a.width} * rows * 8) == 0;
}

Bytes withInsert(const Bytes& jpeg, size_t at, const Bytes& inserted) {
  return concat(
      {Bytes(jpeg.begin(), jpeg.begin() + at), inserted, Bytes(jpeg.begin() + at, jpeg.end())});
}

TEST(BaselineDecodeTest, DataCutShortDecodesAsFlatBlocksAtTheLastDc) {
  test::EncodeOptions options;
  options.lumaH = options.lumaV = 1;
  const Bytes full = encoded(64, 64, options);
  const size_t scan = test::endOfFirstScan(full);  // the EOI
  const size_t start = scan - 1500;
  const Bytes cut = concat({Bytes(full.begin(), full.begin() + start), kEoi});
  PixelImage image, whole;
  ASSERT_EQ(decodeInto(cut, image), kNoError);
  ASSERT_EQ(decodeInto(full, whole), kNoError);
  EXPECT_TRUE(samePixels(image, whole, 8));  // the first MCU row lies before the cut
  // Past the cut every block repeats the last DC value of each component: one colour.
  const uint16_t* last = image.pixels.get() + size_t{64} * 56 * 4;
  for (size_t i = 0; i < 64 * 8; ++i) ASSERT_EQ(std::memcmp(last + 4 * i, last, 8), 0) << i;
}

TEST(BaselineDecodeTest, RestartMarkersResetPredictionAndAMissingOneIsSearchedFor) {
  test::EncodeOptions options;
  options.restartInterval = 1;
  const Bytes jpeg = encoded(64, 32, options);
  expectLikeReference(jpeg);

  // Remove the second restart marker (RST1): the decode continues without an error, and the
  // MCUs before it are unchanged.
  Bytes damaged = jpeg;
  const Bytes rst1 = {0xFF, 0xD1};
  const auto found = std::search(damaged.begin(), damaged.end(), rst1.begin(), rst1.end());
  ASSERT_NE(found, damaged.end());
  damaged.erase(found, found + 2);
  PixelImage image, whole;
  ASSERT_EQ(decodeInto(damaged, image), kNoError);
  ASSERT_EQ(decodeInto(jpeg, whole), kNoError);
  for (uint32_t y = 0; y < 16; ++y) {  // the first MCU of the first row
    EXPECT_EQ(std::memcmp(image.pixels.get() + size_t{y} * 64 * 4,
                          whole.pixels.get() + size_t{y} * 64 * 4, 16 * 8),
              0);
  }
}

// Grey frames of one-code tables made by hand, with `ac` as the AC table and `bits` as the data.
Bytes greyFrame(uint32_t width, uint32_t height, const test::HuffmanTable& dc,
                const test::HuffmanTable& ac, const Bytes& data) {
  return concat({kSoi, test::dqtSegment(0, 4),
                 test::sofSegment(0xC0, width, height, {{1, 0x11, 0}}), test::dhtSegment({dc, ac}),
                 test::sosSegment({{1, 0x00}}), data, kEoi});
}

TEST(BaselineDecodeTest, RunsPastTheLastCoefficientEndTheBlock) {
  // AC codes: 0 = end of block, 10 = sixteen zeros (0xF0), 11 = fifteen zeros then a 1-bit
  // value (0xF1). DC: 0 = no difference.
  const test::HuffmanTable dc{0x00, {{0x00}}};
  const test::HuffmanTable ac{0x10, {{0x00}, {0xF0, 0xF1}}};
  test::BitWriter bits;
  bits.put(0, 1);
  for (int i = 0; i < 4; ++i) bits.put(0b111, 3);  // the fourth run ends past 63 (and is read)
  bits.put(0, 1);                                  // the second block: no difference
  for (int i = 0; i < 4; ++i) bits.put(0b10, 2);   // sixteen zeros four times: past 63
  bits.put(0, 1);                                  // the third block
  bits.put(0b111, 3);
  bits.put(0, 1);
  PixelImage image;
  ASSERT_EQ(decodeInto(greyFrame(24, 8, dc, ac, bits.bytes()), image), kNoError);
  // The second block is flat, the first and third are not: the stream stayed in step.
  const auto flat = [&](int block) {
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        if (image.pixels[4 * (24 * r + 8 * block + c)] != image.pixels[4 * 8 * block]) return false;
      }
    }
    return true;
  };
  EXPECT_FALSE(flat(0));
  EXPECT_TRUE(flat(1));
  EXPECT_FALSE(flat(2));
}

TEST(BaselineDecodeTest, DcDifferencesWrapAndOversizedOnesAreCorrupt) {
  // 33024 blocks each adding 65535 carry the predictor past the 32-bit range; it wraps.
  const test::HuffmanTable dc{0x00, {{16}}};
  const test::HuffmanTable eob{0x10, {{0x00}}};
  test::BitWriter bits;
  for (int i = 0; i < 2048 / 8 * 1032 / 8; ++i) {
    bits.put(0, 1);
    bits.put(0xFFFF, 16);
    bits.put(0, 1);
  }
  PixelImage image;
  EXPECT_EQ(decodeInto(greyFrame(2048, 1032, dc, eob, bits.bytes()), image), kNoError);
  // A DC category above 16 has no meaning.
  const test::HuffmanTable wrong{0x00, {{17}}};
  EXPECT_EQ(decodeInto(greyFrame(8, 8, wrong, eob, {0x00, 0x00, 0x00, 0x00}), image),
            msg::kCorruptImageData);
}

TEST(BaselineDecodeTest, HugeFramesNeedTheDataForThemAndThenTheMemory) {
  const uint64_t memory = platform::physicalMemoryBytes();
  if (memory == 0 || memory > (uint64_t{48} << 30)) GTEST_SKIP() << "memory size unknown or large";
  const Bytes tables = test::dhtSegment({{0x00, {{0x00}}}, {0x10, {{0x00}}}});
  // One bit for each of 8192 x 8192 luma and twice 4096 x 4096 chroma blocks.
  const size_t minimum = (size_t{8192} * 8192 + 2 * 4096 * 4096) / 8;
  for (uint8_t code : {0xC0, 0xC2}) {
    const Bytes frame =
        test::sofSegment(code, 65535, 65535, {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}});
    const Bytes scan = test::sosSegment({{1, 0}, {2, 0}, {3, 0}}, 0, code == 0xC0 ? 63 : 0);
    for (const size_t length : {minimum - 1, minimum}) {
      PixelImage image;
      const Bytes data(length, 0);
      EXPECT_EQ(
          decodeInto(concat({kSoi, test::dqtSegment(0), frame, tables, scan, data, kEoi}), image),
          length < minimum ? formatText(msg::kCodedDataTooShort, unsigned(length), 65535u, 65535u)
          : code == 0xC0   ? formatText(msg::kImageTooLarge, 65535u, 65535u)
                           : formatText(msg::kCoefficientsTooLarge, 65535u, 65535u));
    }
  }
}

// ---- Progressive ------------------------------------------------------------------------------

TEST(ProgressiveDecodeTest, EveryLayoutRestartsAndOddSizesMatchTheReference) {
  // Includes restart intervals that divide the scan's MCU or block count: no restart marker
  // follows the last interval, so the decoder must not search for one (it would skip the
  // following scans).
  for (const auto& [width, height] : {std::pair{17u, 9u}, std::pair{48u, 32u}}) {
    for (const auto& [h, v] :
         {std::pair{1, 1}, std::pair{2, 1}, std::pair{1, 2}, std::pair{2, 2}}) {
      for (unsigned restart : {0u, 1u, 2u}) {
        SCOPED_TRACE(testing::Message()
                     << width << "x" << height << " " << h << "x" << v << " restart " << restart);
        test::EncodeOptions options = progressive(h, v);
        options.restartInterval = restart;
        expectLikeReference(encoded(width, height, options));
      }
    }
  }
  test::EncodeOptions grey = progressive();
  grey.grey = true;
  expectLikeReference(encoded(33, 17, grey));
}

TEST(ProgressiveDecodeTest, FileEndingAfterTheDcScanIsTheBlurredDcImage) {
  const Bytes full = encoded(64, 48, progressive());
  const Bytes cut = concat({Bytes(full.begin(), full.begin() + test::endOfFirstScan(full)), kEoi});
  expectLikeReference(cut);
}

TEST(ProgressiveDecodeTest, SegmentsBetweenScans) {
  const Bytes jpeg = encoded(32, 32, progressive());
  const size_t at = test::endOfFirstScan(jpeg);
  ASSERT_EQ(jpeg[at + 1], 0xC4);  // libjpeg-turbo writes new Huffman tables between scans
  PixelImage whole;
  ASSERT_EQ(decodeInto(jpeg, whole), kNoError);

  const std::vector<std::pair<std::string, Bytes>> refused = {
      {msg::kUnexpectedMarkerBetweenScans, test::dqtSegment(1)},
      // A fill byte before a marker is read as marker 0xFF.
      {msg::kUnexpectedMarkerBetweenScans, {0xFF}},
      // Junk after the scan: the bit reader may have buffered up to eight bytes of it.
      {msg::kMissingMarkerPrefix, Bytes(10, 0x12)},
      {msg::kDriWrongSize, test::segmentBytes(0xDD, {0, 0, 0})},
      {msg::kInvalidOffset, {0xFF, 0xC4, 0xFF, 0xF0, 0x00}},  // runs past the data
      {msg::kInvalidHeaderLengthOrCorrupt, {0xFF, 0xC4, 0x00, 0x01}},
  };
  for (const auto& [message, inserted] : refused) {
    PixelImage image;
    EXPECT_EQ(decodeInto(withInsert(jpeg, at, inserted), image), message);
  }
  // Zero bytes, a stray 0xFF 0x00 pair and a DRI of interval 0 change nothing.
  for (const Bytes& inserted :
       {Bytes{0x00, 0x00}, Bytes{0xFF, 0x00}, test::segmentBytes(0xDD, {0, 0})}) {
    PixelImage same;
    ASSERT_EQ(decodeInto(withInsert(jpeg, at, inserted), same), kNoError);
    EXPECT_TRUE(samePixels(same, whole, 32));
  }
  // A scan header cut off by the end of the data.
  const Bytes cutHeader =
      concat({Bytes(jpeg.begin(), jpeg.begin() + at), {0xFF, 0xDA, 0x00, 0x0C, 0x03}, kEoi});
  PixelImage image;
  EXPECT_EQ(decodeInto(cutHeader, image), msg::kInvalidOffset);
}

TEST(ProgressiveDecodeTest, ScanOfAComponentOutsideTheFrameIsPassedOver) {
  test::EncodeOptions grey = progressive();
  grey.grey = true;
  const Bytes jpeg = encoded(32, 24, grey);
  PixelImage whole, image;
  ASSERT_EQ(decodeInto(jpeg, whole), kNoError);
  // A scan of component 2, which the grey frame does not have, with some data and a restart
  // marker in it.
  const Bytes extra = concat({test::sosSegment({{2, 0x00}}, 0, 0), {0x12, 0x34, 0xFF, 0xD0, 0x56}});
  ASSERT_EQ(decodeInto(withInsert(jpeg, test::endOfFirstScan(jpeg), extra), image), kNoError);
  EXPECT_TRUE(samePixels(image, whole, 24));
}

TEST(ProgressiveDecodeTest, EndOfBandRunsAndRefinementBitsMatchTheSameCoefficientsCodedAsBaseline) {
  // Four grey blocks. DC scan: no differences. First AC scan (1..5, Al = 1): block 0 gets 3 at
  // k = 1 (stored as 6), then an end-of-band run of 2 + 1 = 3 covers the rest of block 0 and
  // blocks 1 and 2; block 3 opens a run of 4 + 3 = 7, longer than the rest of the scan.
  // Refinement scan (Ah = 1, Al = 0): one run of 7 over everything; the one nonzero
  // coefficient inside it still takes its correction bit (1: 6 becomes 7).
  const test::HuffmanTable dc{0x00, {{0x00}}};
  // Five 3-bit codes: 000 = 0x02, 001 = 0x10, 010 = 0x20.
  const test::HuffmanTable ac{0x10, {{}, {}, {0x02, 0x10, 0x20, 0x00, 0x01}}};
  test::BitWriter dcBits;
  for (int i = 0; i < 4; ++i) dcBits.put(0, 1);
  test::BitWriter first;
  first.put(0b000, 3);
  first.put(0b11, 2);  // value 3
  first.put(0b001, 3);
  first.put(1, 1);  // run 2 + 1
  first.put(0b010, 3);
  first.put(0b11, 2);  // run 4 + 3
  test::BitWriter refine;
  refine.put(0b010, 3);
  refine.put(0b11, 2);
  refine.put(1, 1);  // the correction bit of block 0's coefficient

  const Bytes frame = test::sofSegment(0xC2, 32, 8, {{1, 0x11, 0}});
  const Bytes progressiveFile =
      concat({kSoi, test::dqtSegment(0, 2), frame, test::dhtSegment({dc, ac}),
              test::sosSegment({{1, 0x00}}, 0, 0, 0x00), dcBits.bytes(),
              test::sosSegment({{1, 0x00}}, 1, 5, 0x01), first.bytes(),
              test::sosSegment({{1, 0x00}}, 1, 5, 0x10), refine.bytes(), kEoi});

  // The same final coefficients as one baseline scan: block 0 has 7 at k = 1.
  const test::HuffmanTable baselineAc{0x10, {{0x00}, {0x03}}};
  test::BitWriter baselineBits;
  baselineBits.put(0, 1);
  baselineBits.put(0b10, 2);  // symbol 0x03
  baselineBits.put(0b111, 3);
  baselineBits.put(0, 1);
  for (int i = 0; i < 3; ++i) baselineBits.put(0b00, 2);
  const Bytes baselineFile =
      concat({kSoi, test::dqtSegment(0, 2), test::sofSegment(0xC0, 32, 8, {{1, 0x11, 0}}),
              test::dhtSegment({dc, baselineAc}), test::sosSegment({{1, 0x00}}),
              baselineBits.bytes(), kEoi});

  PixelImage a, b;
  ASSERT_EQ(decodeInto(progressiveFile, a), kNoError);
  ASSERT_EQ(decodeInto(baselineFile, b), kNoError);
  EXPECT_TRUE(samePixels(a, b, 8));
  EXPECT_NE(a.pixels[0], a.pixels[4 * 8]);  // block 0 is not flat grey like block 1
}

TEST(ProgressiveDecodeTest, NumberOfScansIsBounded) {
  // DC refinement scans of one bit each, which need no table: 4096 are decoded, 4097 refused.
  const auto file = [](int scans) {
    Bytes jpeg = concat({kSoi,
                         test::dqtSegment(0),
                         test::sofSegment(0xC2, 8, 8, {{1, 0x11, 0}}),
                         test::dhtSegment({{0x00, {{0x00}}}}),
                         test::sosSegment({{1, 0x00}}, 0, 0, 0x01),
                         {0x00}});
    for (int i = 1; i < scans; ++i) {
      const Bytes scan = concat({test::sosSegment({{1, 0x00}}, 0, 0, 0x10), {0x80}});
      jpeg.insert(jpeg.end(), scan.begin(), scan.end());
    }
    jpeg.insert(jpeg.end(), kEoi.begin(), kEoi.end());
    return jpeg;
  };
  PixelImage image;
  EXPECT_EQ(decodeInto(file(4096), image), kNoError);
  EXPECT_EQ(decodeInto(file(4097), image), formatText(msg::kTooManyScans, 4096u));
}

TEST(ProgressiveDecodeTest, MissingTablesOfAScan) {
  const auto file = [](uint8_t tableClass, uint8_t ss, uint8_t se, uint8_t a) {
    return concat({kSoi,
                   test::dqtSegment(0),
                   test::sofSegment(0xC2, 8, 8, {{1, 0x11, 0}}),
                   test::dhtSegment({{tableClass, {{0x00}}}}),
                   test::sosSegment({{1, 0x00}}, ss, se, a),
                   {0x00},
                   kEoi});
  };
  PixelImage image;
  EXPECT_EQ(decodeInto(file(0x10, 0, 0, 0), image), msg::kMissingDcTable);
  EXPECT_EQ(decodeInto(file(0x00, 1, 63, 0), image), msg::kMissingAcTable);
  // A DC refinement scan needs no table.
  EXPECT_EQ(decodeInto(file(0x10, 0, 0, 0x10), image), kNoError);
}

}  // namespace
}  // namespace tessel
