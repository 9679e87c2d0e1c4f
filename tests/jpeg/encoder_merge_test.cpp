// The merge writer: every refusal of a metadata source, the written structure, resizing, grey,
// the reader's marker classes end to end, and an existing output left alone when a merge fails.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

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
using test::segmentBytes;
using test::sofPayload;
using test::sosPayload;

const PropertyList kNone;

Bytes encode(const Bytes& source, const PixelImage& image) {
  test::ParsedJpeg parsed(source);
  return encodeJpegFile(image, parsed.markers(), kNone, Background{});
}
PixelImage picture(uint32_t width, uint32_t height) {
  return test::fromRgb8(test::makeRgbPicture(width, height), width, height);
}

TEST(MergeWriter, RefusesEveryMalformedMetadataSource) {
  const Bytes dqt = segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6)}));
  const Bytes dht = segmentBytes(0xC4, test::dhtFourTables());
  const Bytes sos = segmentBytes(0xDA, sosPayload(test::kScanYcc));
  auto sof = [](std::vector<test::FrameComponent> frame, uint8_t code = 0xC0, uint16_t width = 16,
                uint8_t precision = 8) {
    return segmentBytes(code, sofPayload(width, 16, frame, precision));
  };
  auto scan = [](std::vector<test::ScanComponent> comps, uint8_t ss = 0, uint8_t se = 63,
                 uint8_t a = 0) { return segmentBytes(0xDA, sosPayload(comps, ss, se, a)); };
  const auto f = test::kFrame420;
  auto jfif = [](uint8_t major) {
    return segmentBytes(0xE0, {'J', 'F', 'I', 'F', 0, major, 1, 0, 0, 1, 0, 1, 0, 0});
  };
  auto adobe = [](uint8_t transform) {
    return segmentBytes(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, transform});
  };
  const std::pair<std::vector<Bytes>, std::string> cases[] = {
      {{}, msg::kMergeMissingSof},
      {{sof(f), dht, sos}, msg::kMergeMissingDqt},
      {{dqt, sof(f), dht}, msg::kMergeMissingSos},
      {{dqt, sof(f, 0xC2), dht, sos}, msg::kMergeBaselineOnly},
      {{dqt, sof(f, 0xC0, 16, 12), dht, sos}, "Unsupported image format (precision=12)"},
      {{dqt, sof(f, 0xC0, 0), dht, sos}, "Unsupported image size (width=0, height=16)"},
      // Identifiers are slot numbers; the SOF side refuses a fifth slot like the SOS side.
      {{dqt, sof({{1, 0x11, 0}, {4, 0x11, 1}}), dht, sos}, msg::kMergeInvalidComponentId},
      {{dqt, sof(f), dht, scan({{1, 0x00}, {2, 0x11}, {4, 0x11}})}, msg::kMergeInvalidComponentId},
      {{segmentBytes(0xDB, dqtTable(4, 1)), sof(f), dht, sos}, msg::kMergeInvalidQuantIndex},
      {{segmentBytes(0xDB, concat({dqtTable(1, 1), dqtTable(1, 1, true)})), sof(f), dht, sos},
       msg::kMergeDuplicateQuantIndex},
      {{dqt, sof({{1, 0x22, 0}, {2, 0x11, 2}, {3, 0x11, 1}}), dht, sos},
       msg::kMergeMissingQuantIndex},
      {{dqt, sof({{1, 0x22, 0}, {2, 0x11, 9}, {3, 0x11, 1}}), dht, sos},
       msg::kMergeMissingQuantIndex},
      // A zero quantizer in a table that a component uses (an unused one does not matter).
      {{segmentBytes(0xDB, concat({dqtTable(0, 0), dqtTable(1, 6)})), sof(f), dht, sos},
       msg::kMergeInvalidQuantValue},
      {{segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6), dqtTable(2, 0)})), sof(f), dht,
        sos},
       "(no exception)"},
      // A component that the scan does not name, and table numbers past 3.
      {{dqt, sof(f), dht, scan({{1, 0x00}, {2, 0x11}})}, msg::kMergeMissingHuffmanIndex},
      {{dqt, sof(f), dht, scan({{1, 0x40}, {2, 0x11}, {3, 0x11}})}, msg::kMergeMissingHuffmanIndex},
      {{dqt, sof(f), dht, scan({{1, 0x00}, {2, 0x11}, {3, 0x14}})}, msg::kMergeMissingHuffmanIndex},
      {{dqt, sof(f), dht, scan(test::kScanYcc, 1)}, msg::kMergeBaselineOnly},
      {{dqt, sof(f), dht, scan(test::kScanYcc, 0, 62)}, msg::kMergeBaselineOnly},
      {{dqt, sof(f), dht, scan(test::kScanYcc, 0, 63, 0x10)}, msg::kMergeBaselineOnly},
      {{dqt, sof({{0, 0x11, 0}, {1, 0x11, 1}, {2, 0x11, 1}}), dht,
        scan({{0, 0x00}, {1, 0x11}, {2, 0x11}})},
       "Unsupported sampling ( comp 0: 1 x 1 comp 1: 1 x 1 comp 2: 1 x 1 )"},
      {{dqt, sof({{1, 0x22, 0}}), dht, scan({{1, 0x00}})},
       "Unsupported sampling ( comp 1: 2 x 2 )"},
      {{dqt, sof({}), dht, scan({})}, "Unsupported sampling ( )"},
      // What a baseline decoder would refuse in the copied segments: a second frame, a segment
      // that is not a table, frame, scan or application segment, lengths that do not fit the
      // content, a quantization precision nibble above 1, repeated component IDs, a scan that
      // names components out of order or outside the frame, tables the scan uses but no DHT
      // defines, and tables of more than 256 codes.
      {{dqt, sof(f), sof(f), dht, sos}, msg::kMergeOneSof},
      {{dqt, segmentBytes(0x44, {1, 2}), sof(f), dht, sos},
       formatText(msg::kMergeUnexpectedSegment, 0x44)},
      {{dqt, segmentBytes(0xDF, {1, 2}), sof(f), dht, sos},
       formatText(msg::kMergeUnexpectedSegment, 0xDF)},
      {{dqt, segmentBytes(0xC0, concat({sofPayload(16, 16, f), {0}})), dht, sos},
       formatText(msg::kMergeSegmentLength, "SOF")},
      {{dqt, sof(f), dht, segmentBytes(0xDA, concat({sosPayload(test::kScanYcc), {0}}))},
       formatText(msg::kMergeSegmentLength, "SOS")},
      {{segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(0x21, 6)})), sof(f), dht, sos},
       msg::kMergeQuantPrecision},
      {{dqt, sof({{1, 0x22, 0}, {2, 0x11, 1}, {2, 0x11, 1}}), dht, sos},
       msg::kMergeDuplicateComponentId},
      {{dqt, sof(f), dht, scan({{3, 0x11}, {2, 0x11}, {1, 0x00}})}, msg::kMergeScanComponents},
      {{dqt, sof(f), dht, scan({{1, 0x00}, {2, 0x11}, {2, 0x11}, {3, 0x11}})},
       msg::kMergeScanComponents},
      {{dqt, sof({{1, 0x11, 0}}), dht, scan({{1, 0x00}, {2, 0x11}})}, msg::kMergeScanComponents},
      {{dqt, sof(f), segmentBytes(0xC4, concat({test::dhtTable(0x00), test::dhtTable(0x10)})), sos},
       msg::kMergeMissingHuffmanTable},
      {{dqt, sof(f), sos}, msg::kMergeMissingHuffmanTable},
      {{dqt, sof(f), dht, segmentBytes(0xC4, concat({Bytes{0x01, 255, 2}, Bytes(14 + 257, 0)})),
        sos},
       msg::kMergeHuffmanTableSize},
      // A JFIF version that decoders warn about; an Adobe transform that makes them read the data
      // as RGB (or warn), unless a JFIF segment says YCbCr.
      {{jfif(2), dqt, sof(f), dht, sos}, formatText(msg::kMergeJfifVersion, 2u, 1u)},
      {{adobe(0), dqt, sof(f), dht, sos}, formatText(msg::kMergeAdobeTransform, 0u)},
      {{adobe(2), dqt, sof(f), dht, sos}, formatText(msg::kMergeAdobeTransform, 2u)},
      {{jfif(1), adobe(0), dqt, sof(f), dht, sos}, "(no exception)"},
      {{adobe(1), dqt, sof(f), dht, sos}, "(no exception)"},
      // A DHT table that the scan does not use fails when the segment is written.
      {{dqt, sof(f), segmentBytes(0xC4, concat({test::dhtFourTables(), test::dhtTable(0x12)})),
        sos},
       msg::kMergeInvalidHuffmanId},
  };
  const PixelImage image = picture(16, 16);
  for (const auto& c : cases) {
    EXPECT_EQ(test::messageOf([&] { encode(test::jpegFile(c.first), image); }), c.second);
  }
  // Payloads too short for what they declare are refused before they are read past.
  EncodeState state;
  const Bytes frame = sofPayload(16, 16, test::kFrame420), scanHeader = sosPayload(test::kScanYcc);
  const Bytes wide = dqtTable(0, 1, true);
  EXPECT_EQ(test::messageOf([&] { applyFrameHeader(state, 0xC0, frame.data(), 14); }),
            formatText(msg::kMergeSegmentLength, "SOF"));
  EXPECT_EQ(test::messageOf([&] { applyScanHeader(state, scanHeader.data(), 9); }),
            formatText(msg::kMergeSegmentLength, "SOS"));
  EXPECT_EQ(test::messageOf([&] { applyQuantizationTables(state, wide.data(), 65); }),
            formatText(msg::kMergeSegmentLength, "DQT"));
}

TEST(MergeWriter, KeepsTheSourceSegmentsAroundANewScan) {
  const Bytes source = test::typicalSource(40, 24);
  const Bytes output = encode(source, picture(40, 24));
  size_t scanStart = 0;
  const auto in = test::segmentsUpToScan(source);
  const auto out = test::segmentsUpToScan(output, &scanStart);
  // COM, DQT, SOF copied; DRI dropped; DHT rewritten; SOS copied; one clean scan; EOI.
  ASSERT_EQ(out.size(), 5u);
  for (auto [o, i] : {std::pair{0, 0}, {1, 1}, {2, 2}, {4, 5}})
    EXPECT_EQ(out[o].bytes, in[i].bytes);
  EXPECT_EQ(out[3].code, 0xC4);
  EXPECT_NE(out[3].bytes, in[4].bytes);
  EXPECT_TRUE(test::scanIsClean(output, scanStart));
  EXPECT_EQ(test::decodeWithTurbo(output).warnings, 0);
}

TEST(MergeWriter, StretchesOtherSizesAndCodesGreyAsTheChannelAverage) {
  // Twice the size (point sampling) and a fractional scale: both 40 x 24.
  for (auto [w, h] : {std::pair{80u, 48u}, std::pair{13u, 7u}}) {
    const auto decoded = test::decodeWithTurbo(encode(test::typicalSource(40, 24), picture(w, h)));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width * 1000 + decoded.height, 40024u);
  }
  // A uniform picture stays uniform however it is stretched.
  const auto flat = test::makeImage(7, 3, [](uint32_t, uint32_t) {
    return test::Rgba{257 * 200, 257 * 100, 257 * 50, 65535};
  });
  const auto decoded = test::decodeWithTurbo(encode(test::typicalSource(40, 24), flat));
  for (size_t i = 0; i < decoded.rgb.size(); ++i) {
    ASSERT_NEAR(decoded.rgb[i], 200 >> (i % 3), 3) << i;
  }
  EXPECT_EQ(test::messageOf([&] { encode(test::typicalSource(40, 24), PixelImage{}); }),
            "Cannot resample an image of 0 x 0 pixels");

  // Grey (one component, mode 5): fine quantizers bring back the plain channel average.
  const PixelImage image = picture(35, 21);
  const Bytes grey = test::jpegFile(
      {segmentBytes(0xDB, dqtTable(0, 1)), segmentBytes(0xC0, sofPayload(35, 21, {{1, 0x11, 0}})),
       segmentBytes(0xC4, concat({test::dhtTable(0x00), test::dhtTable(0x10)})),
       segmentBytes(0xDA, sosPayload({{1, 0x00}}))});
  const auto ours = test::decodeWithTurbo(encode(grey, image));
  ASSERT_TRUE(ours.ok) << ours.error;
  std::vector<uint8_t> average, decodedGrey;
  const auto rgb = test::toRgb8(image);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    average.push_back(uint8_t((rgb[i] + rgb[i + 1] + rgb[i + 2]) / 3));
    decodedGrey.push_back(ours.rgb[i]);
  }
  EXPECT_GT(test::psnr(decodedGrey, average), 45.0);
}

TEST(MergeWriter, LeavesAnExistingOutputAloneWhenTheMergeFails) {
  test::TempDir dir;
  const std::string path = dir.file("out.jpg");
  const Bytes previous = {'o', 'l', 'd', 0xFF, 0x00};
  test::writeFile(path, previous);
  const PixelImage image = picture(40, 24);
  auto write = [&](const Bytes& source) {
    return test::messageOf([&] {
      test::ParsedJpeg parsed(source);
      OutputFile output(path);
      writeJpegFile(output, image, parsed.markers(), kNone, {});
    });
  };
  // Refused for a missing table, and for tables the scan does not use.
  const Bytes base = test::typicalSource(40, 24);
  EXPECT_EQ(write(test::jpegFile({segmentBytes(0xC0, sofPayload(40, 24, test::kFrame420))})),
            msg::kMergeMissingDqt);
  EXPECT_EQ(write(test::jpegFile(
                {segmentBytes(0xDB, concat({dqtTable(0, 4), dqtTable(1, 6)})),
                 segmentBytes(0xC0, sofPayload(40, 24, test::kFrame420)),
                 segmentBytes(0xC4, concat({test::dhtFourTables(), test::dhtTable(0x13)})),
                 segmentBytes(0xDA, sosPayload(test::kScanYcc))})),
            msg::kMergeInvalidHuffmanId);
  EXPECT_EQ(test::readFile(path), previous);

  // A successful merge replaces the whole (longer) file with exactly the encoded bytes.
  test::writeFile(path, Bytes(100000, 0x55));
  EXPECT_EQ(write(base), "(no exception)");
  EXPECT_EQ(test::readFile(path), encode(base, image));

  // A write that the system refuses (here: past a file size limit) is reported as such.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 100;
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string message = write(base);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(message.rfind("File " + path + ": failed on WriteFile: ", 0), 0u) << message;
}

}  // namespace
}  // namespace tessel
