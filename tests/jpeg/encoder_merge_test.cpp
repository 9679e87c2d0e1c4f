// The merge writer: validation of the metadata source, the written structure, resizing, grey and
// colour layouts, and the output file left alone when a merge fails.

#include <gtest/gtest.h>

#include "core/mapped_file.h"
#include "core/messages.h"
#include "exif/property_list.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::dqtTable;
using test::FrameComponent;
using test::kFrame420;
using test::kScanYcc;
using test::ParsedJpeg;
using test::segmentBytes;
using test::sofPayload;
using test::sosPayload;

const PropertyList kNoOverrides;

Bytes encode(const Bytes& source, const PixelImage& image) {
  ParsedJpeg parsed(source);
  return encodeJpegFile(image, parsed.markers(), kNoOverrides, Background{});
}

std::string failure(const Bytes& source, uint32_t width = 16, uint32_t height = 16) {
  const PixelImage image = test::makePicture(width, height);
  return test::messageOf([&] { encode(source, image); });
}

Bytes dqt01() {
  return segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6)}));
}
Bytes sof(const std::vector<FrameComponent>& frame = kFrame420, uint8_t code = 0xC0) {
  return segmentBytes(code, sofPayload(16, 16, frame));
}
Bytes dht() {
  return segmentBytes(0xC4, test::dhtFourTables());
}
Bytes sos(const std::vector<test::ScanComponent>& scan = kScanYcc) {
  return segmentBytes(0xDA, sosPayload(scan));
}

TEST(MergeValidation, MissingSegments) {
  EXPECT_EQ(failure(concat({test::kSoi, test::kEoi})), msg::kMergeMissingSof);
  EXPECT_EQ(failure(test::jpegFile({dqt01(), dht(), sos()})), msg::kMergeMissingSof);
  EXPECT_EQ(failure(test::jpegFile({sof(), dht(), sos()})), msg::kMergeMissingDqt);
  EXPECT_EQ(failure(concat({test::kSoi, dqt01(), sof(), dht(), test::kEoi})),
            msg::kMergeMissingSos);
}

TEST(MergeValidation, FrameHeader) {
  EXPECT_EQ(failure(test::jpegFile({dqt01(), sof(kFrame420, 0xC2), dht(), sos()})),
            msg::kMergeBaselineOnly);
  EXPECT_EQ(failure(test::jpegFile({dqt01(), sof(kFrame420, 0xC1), dht(), sos()})),
            msg::kMergeBaselineOnly);
  EXPECT_EQ(failure(test::jpegFile(
                {dqt01(), segmentBytes(0xC0, sofPayload(16, 16, kFrame420, 12)), dht(), sos()})),
            "Unsupported image format (precision=12)");
  // Identifiers index four slots; a fifth is refused instead of being stored past them.
  EXPECT_EQ(failure(test::jpegFile({dqt01(), sof({{1, 0x11, 0}, {4, 0x11, 1}}), dht(), sos()})),
            msg::kMergeInvalidComponentId);
  EXPECT_EQ(failure(test::jpegFile({dqt01(), sof({{1, 0x11, 0}, {200, 0x11, 1}}), dht(), sos()})),
            msg::kMergeInvalidComponentId);
  // No pixels in the frame.
  EXPECT_EQ(failure(test::jpegFile(
                {dqt01(), segmentBytes(0xC0, sofPayload(0, 16, kFrame420)), dht(), sos()})),
            "Unsupported image size (width=0, height=16)");
  // A payload too short for what it declares is refused before it is read past.
  EncodeState state;
  const Bytes shortSof = sofPayload(16, 16, kFrame420);
  EXPECT_EQ(test::messageOf([&] { applyFrameHeader(state, 0xC0, shortSof.data(), 5); }),
            msg::kInvalidOffset);
  EXPECT_EQ(test::messageOf([&] { applyFrameHeader(state, 0xC0, shortSof.data(), 14); }),
            msg::kInvalidOffset);
  const Bytes shortSos = sosPayload(kScanYcc);
  EXPECT_EQ(test::messageOf([&] { applyScanHeader(state, shortSos.data(), 0); }),
            msg::kInvalidOffset);
  EXPECT_EQ(test::messageOf([&] { applyScanHeader(state, shortSos.data(), 9); }),
            msg::kInvalidOffset);
  const Bytes table = dqtTable(0, 1, true);
  EXPECT_EQ(test::messageOf([&] { applyQuantizationTables(state, table.data(), 65); }),
            msg::kInvalidOffset);
}

TEST(MergeValidation, QuantizationTables) {
  EXPECT_EQ(failure(test::jpegFile({segmentBytes(0xDB, dqtTable(4, 1)), sof(), dht(), sos()})),
            msg::kMergeInvalidQuantIndex);
  // Twice table 0: in two segments, or twice in one.
  EXPECT_EQ(
      failure(test::jpegFile({dqt01(), segmentBytes(0xDB, dqtTable(0, 1)), sof(), dht(), sos()})),
      msg::kMergeDuplicateQuantIndex);
  EXPECT_EQ(
      failure(test::jpegFile({segmentBytes(0xDB, concat({dqtTable(1, 1), dqtTable(1, 1, true)})),
                              sof(), dht(), sos()})),
      msg::kMergeDuplicateQuantIndex);
  // A component naming a table that was never defined, or one past 3.
  EXPECT_EQ(failure(test::jpegFile(
                {dqt01(), sof({{1, 0x22, 0}, {2, 0x11, 2}, {3, 0x11, 1}}), dht(), sos()})),
            msg::kMergeMissingQuantIndex);
  EXPECT_EQ(failure(test::jpegFile(
                {dqt01(), sof({{1, 0x22, 0}, {2, 0x11, 9}, {3, 0x11, 1}}), dht(), sos()})),
            msg::kMergeMissingQuantIndex);
  // A zero quantizer in a table that is used; an unused one does not matter.
  EXPECT_EQ(failure(test::jpegFile({segmentBytes(0xDB, concat({dqtTable(0, 0), dqtTable(1, 6)})),
                                    sof(), dht(), sos()})),
            msg::kMergeInvalidQuantValue);
  EXPECT_EQ(failure(test::jpegFile(
                {segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6), dqtTable(2, 0)})),
                 sof(), dht(), sos()})),
            "(no exception)");
}

TEST(MergeValidation, ScanHeader) {
  // A component that the scan does not name has no Huffman tables.
  EXPECT_EQ(failure(test::jpegFile({dqt01(), sof(), dht(), sos({{1, 0x00}, {2, 0x11}})})),
            msg::kMergeMissingHuffmanIndex);
  EXPECT_EQ(
      failure(test::jpegFile({dqt01(), sof(), dht(), sos({{1, 0x00}, {2, 0x11}, {3, 0x14}})})),
      msg::kMergeMissingHuffmanIndex);
  EXPECT_EQ(
      failure(test::jpegFile({dqt01(), sof(), dht(), sos({{1, 0x40}, {2, 0x11}, {3, 0x11}})})),
      msg::kMergeMissingHuffmanIndex);
  EXPECT_EQ(
      failure(test::jpegFile({dqt01(), sof(), dht(), sos({{1, 0x00}, {2, 0x11}, {4, 0x11}})})),
      msg::kMergeInvalidComponentId);
  for (const Bytes& scan : {sosPayload(kScanYcc, 1, 63, 0), sosPayload(kScanYcc, 0, 62, 0),
                            sosPayload(kScanYcc, 0, 63, 0x01), sosPayload(kScanYcc, 0, 63, 0x10)}) {
    EXPECT_EQ(failure(test::jpegFile({dqt01(), sof(), dht(), segmentBytes(0xDA, scan)})),
              msg::kMergeBaselineOnly);
  }
  // A DHT table that the scan does not use fails when the segment is written, after encoding.
  EXPECT_EQ(
      failure(test::jpegFile(
          {dqt01(), sof(),
           segmentBytes(0xC4, concat({test::dhtFourTables(), test::dhtTable(0x12)})), sos()})),
      msg::kMergeInvalidHuffmanId);
}

TEST(MergeValidation, UnsupportedSamplingListsEveryComponent) {
  auto sampling = [](const std::vector<FrameComponent>& frame,
                     const std::vector<test::ScanComponent>& scan) {
    return failure(test::jpegFile({dqt01(), sof(frame), dht(), sos(scan)}));
  };
  EXPECT_EQ(sampling({{0, 0x11, 0}, {1, 0x11, 1}, {2, 0x11, 1}}, {{0, 0x00}, {1, 0x11}, {2, 0x11}}),
            "Unsupported sampling ( comp 0: 1 x 1 comp 1: 1 x 1 comp 2: 1 x 1 )");
  EXPECT_EQ(sampling({{1, 0x41, 0}, {2, 0x11, 1}, {3, 0x11, 1}}, kScanYcc),
            "Unsupported sampling ( comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1 )");
  EXPECT_EQ(sampling({{1, 0x22, 0}, {2, 0x12, 1}, {3, 0x12, 1}}, kScanYcc),
            "Unsupported sampling ( comp 1: 2 x 2 comp 2: 1 x 2 comp 3: 1 x 2 )");
  EXPECT_EQ(sampling({{1, 0x22, 0}}, {{1, 0x00}}), "Unsupported sampling ( comp 1: 2 x 2 )");
  EXPECT_EQ(sampling({{1, 0x11, 0}, {2, 0x11, 1}}, {{1, 0x00}, {2, 0x11}}),
            "Unsupported sampling ( comp 1: 1 x 1 comp 2: 1 x 1 )");
  EXPECT_EQ(sampling({}, {}), "Unsupported sampling ( )");
}

TEST(MergeOutput, KeepsTheSegmentsDropsDriAndRewritesDht) {
  const Bytes source = test::typicalSource(40, 24);
  const Bytes output = encode(source, test::makePicture(40, 24));
  size_t scanStart = 0;
  const auto in = test::segmentsUpToScan(source);
  const auto out = test::segmentsUpToScan(output, &scanStart);
  // COM, DQT, SOF, (DRI dropped), DHT, SOS.
  ASSERT_EQ(in.size(), 6u);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].bytes, in[0].bytes);
  EXPECT_EQ(out[1].bytes, in[1].bytes);
  EXPECT_EQ(out[2].bytes, in[2].bytes);
  EXPECT_EQ(in[3].code, 0xDD);
  EXPECT_EQ(out[3].code, 0xC4);
  EXPECT_NE(out[3].bytes, in[4].bytes);
  EXPECT_EQ(out[4].bytes, in[5].bytes);
  // One scan without restart markers, then EOI.
  ASSERT_GE(output.size(), scanStart + 2);
  EXPECT_EQ(output[output.size() - 2], 0xFF);
  EXPECT_EQ(output.back(), 0xD9);
  for (size_t i = scanStart; i + 2 < output.size(); ++i) {
    if (output[i] == 0xFF) ASSERT_EQ(output[i + 1], 0x00) << i;
  }
  const auto decoded = test::decodeWithLibjpeg(output);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.warnings, 0);
  EXPECT_EQ(decoded.width, 40);
  EXPECT_EQ(decoded.height, 24);
}

TEST(MergeOutput, ScanOrderFollowsIdentifiersWhateverTheSosOrder) {
  const PixelImage image = test::makePicture(24, 16);
  auto source = [](const std::vector<test::ScanComponent>& scan) {
    return test::jpegFile(
        {dqt01(), segmentBytes(0xC0, sofPayload(24, 16, kFrame420)), dht(), sos(scan)});
  };
  const Bytes forward = encode(source(kScanYcc), image);
  const Bytes reversed = encode(source({{3, 0x11}, {2, 0x11}, {1, 0x00}}), image);
  size_t forwardScan = 0, reversedScan = 0;
  const auto forwardSegments = test::segmentsUpToScan(forward, &forwardScan);
  const auto reversedSegments = test::segmentsUpToScan(reversed, &reversedScan);
  // The SOS header is copied as it was; the entropy-coded data is the same.
  EXPECT_EQ(reversedSegments.back().bytes,
            segmentBytes(0xDA, sosPayload({{3, 0x11}, {2, 0x11}, {1, 0x00}})));
  EXPECT_EQ(Bytes(forward.begin() + forwardScan, forward.end()),
            Bytes(reversed.begin() + reversedScan, reversed.end()));
}

TEST(MergeOutput, ColourAndGreyLayoutsDecodeFaithfully) {
  const PixelImage image = test::makePicture(35, 21);
  const auto original = test::rgb8(image);
  for (const auto& frame :
       {std::vector<FrameComponent>{{1, 0x11, 0}, {2, 0x11, 1}, {3, 0x11, 1}},
        std::vector<FrameComponent>{{1, 0x21, 0}, {2, 0x11, 1}, {3, 0x11, 1}},
        std::vector<FrameComponent>{{1, 0x12, 0}, {2, 0x11, 1}, {3, 0x11, 1}}, kFrame420}) {
    SCOPED_TRACE(frame[0].sampling);
    // Unit quantizers: what is left is the chroma averaging and 8-bit rounding, so the result
    // is about as close to the picture as libjpeg's own at quality 100 with the same sampling.
    // Not quite: the encoder's colour weights (76, 150, 29 / 255 and so on) are not exactly the
    // inverse of the decoder's, which costs up to a level in some colours.
    const Bytes source =
        test::jpegFile({segmentBytes(0xDB, concat({dqtTable(0, 1), dqtTable(1, 1)})),
                        segmentBytes(0xC0, sofPayload(35, 21, frame)), dht(), sos()});
    const auto decoded = test::decodeWithLibjpeg(encode(source, image));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.warnings, 0);
    const auto reference = test::decodeWithLibjpeg(test::encodeWithLibjpeg(
        original, 35, 21, 100, frame[0].sampling >> 4, frame[0].sampling & 15));
    EXPECT_GT(test::psnr(decoded.samples, original),
              test::psnr(reference.samples, original) - 1.5);
  }
  // Grey: one component; the decoder's grey equals the channel average.
  const Bytes source = test::jpegFile(
      {segmentBytes(0xDB, dqtTable(0, 1)), segmentBytes(0xC0, sofPayload(35, 21, {{1, 0x11, 0}})),
       segmentBytes(0xC4, concat({test::dhtTable(0x00), test::dhtTable(0x10)})), sos({{1, 0x00}})});
  const auto decoded = test::decodeWithLibjpeg(encode(source, image));
  ASSERT_TRUE(decoded.ok) << decoded.error;
  ASSERT_EQ(decoded.components, 1);
  std::vector<uint8_t> average;
  for (size_t i = 0; i < original.size(); i += 3) {
    const uint32_t sum = uint32_t{original[i]} + original[i + 1] + original[i + 2];
    average.push_back(static_cast<uint8_t>(sum / 3));
  }
  EXPECT_GT(test::psnr(decoded.samples, average), 40.0);
}

TEST(MergeOutput, OtherImageSizesAreStretchedToTheFrame) {
  const Bytes source = test::typicalSource(40, 24);
  // Twice the size (point sampling), a fractional scale, and a single pixel.
  for (auto [w, h] : {std::pair{80u, 48u}, std::pair{13u, 7u}, std::pair{1u, 1u}}) {
    SCOPED_TRACE(w);
    const auto decoded = test::decodeWithLibjpeg(encode(source, test::makePicture(w, h)));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.warnings, 0);
    EXPECT_EQ(decoded.width, 40);
    EXPECT_EQ(decoded.height, 24);
  }
  // A uniform picture stays uniform however it is stretched.
  const PixelImage flat = test::makeImage(7, 3, [](uint32_t, uint32_t) {
    return test::Rgba{257 * 200, 257 * 100, 257 * 50, 65535};
  });
  const auto decoded = test::decodeWithLibjpeg(encode(source, flat));
  for (size_t i = 0; i < decoded.samples.size(); i += 3) {
    ASSERT_NEAR(decoded.samples[i], 200, 3) << i;
    ASSERT_NEAR(decoded.samples[i + 1], 100, 3) << i;
    ASSERT_NEAR(decoded.samples[i + 2], 50, 3) << i;
  }
  // No pixels at all cannot be stretched.
  EXPECT_EQ(test::messageOf([&] { encode(source, PixelImage{}); }),
            "Cannot resample an image of 0 x 0 pixels");
}

TEST(MergeFile, AFailedMergeLeavesTheOutputAsItWas) {
  test::TempDir dir;
  const std::string path = dir.file("out.jpg");
  const Bytes previous = {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 0xFF, 0x00};
  test::writeFile(path, previous);
  const PixelImage image = test::makePicture(40, 24);
  {
    ParsedJpeg bad(test::jpegFile({dqt01(), sof(kFrame420, 0xC2), dht(), sos()}));
    OutputFile output(path);
    EXPECT_EQ(test::messageOf(
                  [&] { writeJpegFile(output, image, bad.markers(), kNoOverrides, Background{}); }),
              msg::kMergeBaselineOnly);
  }
  EXPECT_EQ(test::readFile(path), previous);
  {
    // A failure while the segments are written (after encoding) too.
    ParsedJpeg unusedTable(
        test::jpegFile({dqt01(), sof(), segmentBytes(0xC4, test::dhtTable(0x13)), sos()}));
    OutputFile output(path);
    EXPECT_EQ(test::messageOf([&] {
                writeJpegFile(output, image, unusedTable.markers(), kNoOverrides, Background{});
              }),
              msg::kMergeInvalidHuffmanId);
  }
  EXPECT_EQ(test::readFile(path), previous);

  // A successful merge replaces the whole file with exactly the encoded bytes.
  const Bytes longer(100000, 0x55);
  test::writeFile(path, longer);
  ParsedJpeg good(test::typicalSource(40, 24));
  const Bytes expected = encodeJpegFile(image, good.markers(), kNoOverrides, Background{});
  {
    OutputFile output(path);
    writeJpegFile(output, image, good.markers(), kNoOverrides, Background{});
    EXPECT_EQ(output.size(), expected.size());
    EXPECT_EQ(output.position(), expected.size());
  }
  EXPECT_EQ(test::readFile(path), expected);
}

TEST(MergeFile, EndToEndThroughTheReaderWithRestartMarkers) {
  // A metadata source written by libjpeg with restart markers every 2 MCUs.
  const PixelImage image = test::makePicture(61, 45);
  const Bytes source = test::encodeWithLibjpeg(test::rgb8(image), 61, 45, 85, 2, 2, 2);
  test::TempDir dir;
  test::writeFile(dir.file("meta.jpg"), source);
  JPEGReader reader(dir.file("meta.jpg"));
  reader.parse();
  const Bytes output = encodeJpegFile(image, *reader.markers, kNoOverrides, Background{});
  for (const auto& segment : test::segmentsUpToScan(output)) EXPECT_NE(segment.code, 0xDD);
  const auto decoded = test::decodeWithLibjpeg(output);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.warnings, 0);
  const auto reference = test::decodeWithLibjpeg(source);
  EXPECT_GT(test::psnr(decoded.samples, test::rgb8(image)),
            test::psnr(reference.samples, test::rgb8(image)) - 0.3);
  // The output is smaller than libjpeg's with its standard tables and restart markers.
  EXPECT_LT(output.size(), source.size());
}

}  // namespace
}  // namespace tessel
