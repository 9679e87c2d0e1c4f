// The decoder beside its golden outputs: the fixtures of decode/ against libjpeg-turbo, and what
// no fixture file can show (limits on scans and memory, the Exif thumbnail's facts, the least
// data a frame needs).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/coded_data.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/messages.h"
#include "platform/cpu.h"
#include "platform/parallel.h"
#include "platform/system.h"
#include "support/jpeg.h"
#include "support/support.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

constexpr char kNoError[] = "(no exception)";

std::string decodeBytes(const Bytes& jpeg, PixelImage& image) {
  return test::messageOf([&] {
    MarkerList markers;
    RangeTracker tracker(jpeg.data(), static_cast<int32_t>(jpeg.size()));
    segment(markers, tracker, jpeg.data(), static_cast<int32_t>(jpeg.size()));
    decodeJpegImage(markers, image);
  });
}

#if TESSEL_HAVE_TURBO
// Every fixture that both decoders decode, libjpeg-turbo without a warning, agrees at 8 bits: red
// and green within 2 levels, blue within 3 (its Cb factor is 1.7795 here, 1.772 there), and on
// pictures of 4096 pixels or more within a mean of 0.5 (blue 0.6).
TEST(Decode, FixturesAgreeWithLibjpegTurbo) {
  // Decoded otherwise there on purpose: libjpeg-turbo smooths the blocks of a progressive file
  // whose AC coefficients never came, and stores the value after a run past the end of a band.
  const std::set<std::string> notCompared = {"cut-prog-after-dc.jpg", "between-eoi.jpg",
                                             "prog-ac-first-runs.jpg",
                                             "prog-refine-to-band-end.jpg"};
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(test::fixture("decode"))) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".jpg" || notCompared.count(name) != 0) continue;
    SCOPED_TRACE(name);
    const Bytes jpeg = test::readFile(entry.path());
    const test::TurboImage turbo = test::decodeWithTurbo(jpeg);
    PixelImage image;
    if (!turbo.ok || turbo.warnings != 0 || decodeBytes(jpeg, image) != kNoError) continue;
    ASSERT_EQ(image.width, turbo.width);
    ASSERT_EQ(image.height, turbo.height);
    int worst[3] = {0, 0, 0};
    double sum[3] = {0, 0, 0};
    const size_t pixels = size_t{image.width} * image.height;
    for (size_t i = 0; i < pixels; ++i) {
      for (int c = 0; c < 3; ++c) {
        const int diff = std::abs((2 * image.pixels[4 * i + c] + 257) / 514 - turbo.rgb[3 * i + c]);
        worst[c] = std::max(worst[c], diff);
        sum[c] += diff;
      }
      ASSERT_EQ(image.pixels[4 * i + 3], 65535);
    }
    for (int c = 0; c < 3; ++c) {
      EXPECT_LE(worst[c], c == 2 ? 3 : 2) << "channel " << c;
      EXPECT_TRUE(pixels < 4096 || sum[c] / double(pixels) <= (c == 2 ? 0.6 : 0.5)) << c;
    }
    ++compared;
  }
  EXPECT_GE(compared, 77);
}
#endif

#if TESSEL_HAVE_TURBO
// The bytes do not depend on the number of threads: pictures large enough to be split into bands,
// restart intervals and rows, decoded and merged into themselves with 1, 2 and 8 threads. The
// progressive picture's scans, decoded at the same time, must also fail as they fail one after
// another: with a restart marker in a file without restarts, and with bytes after a scan's data.
TEST(Threads, EveryCountGivesTheSameBytes) {
  const std::vector<uint8_t> rgb = test::makeRgbPicture(1200, 900);
  std::vector<Bytes> files;
  for (const test::TurboOptions& options :
       {test::TurboOptions{}, test::TurboOptions{1, 1, 75, false, false, 3},
        test::TurboOptions{1, 1, 85, true}, test::TurboOptions{2, 2, 80, false, true}}) {
    files.push_back(test::encodeWithTurbo(1200, 900, rgb, options));
  }
  const Bytes progressive = files[3];
  const Bytes lastScan = {0xFF, 0xDA};
  const Bytes tables = {0xFF, 0xC4};
  const auto last =
      std::find_end(progressive.begin(), progressive.end(), lastScan.begin(), lastScan.end());
  const auto scanEnd = std::find_end(progressive.begin(), last, tables.begin(), tables.end());
  for (const auto& [at, inserted] :
       {std::pair{last + 40 - progressive.begin(), Bytes{0xFF, 0xD0}},
        std::pair{scanEnd - progressive.begin(), Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0, 0}}}) {
    files.push_back(progressive);
    files.back().insert(files.back().begin() + at, inserted.begin(), inserted.end());
  }
  // The baseline picture without restarts, decoded from guessed starts on several threads, must
  // also stop, fail and go on as the single decode does: with a restart marker in its data, with
  // bytes overwritten and with its data cut short.
  const Bytes baseline = files[0];
  files.push_back(baseline);
  const Bytes restart = {0xFF, 0xD0};
  files.back().insert(files.back().begin() + ptrdiff_t(baseline.size() / 2), restart.begin(),
                      restart.end());
  files.push_back(baseline);
  std::fill_n(files.back().begin() + ptrdiff_t(baseline.size() * 2 / 3), 40, uint8_t{0x5A});
  files.push_back(Bytes(baseline.begin(), baseline.begin() + ptrdiff_t(baseline.size() * 3 / 4)));
  files.back().insert(files.back().end(), {0xFF, 0xD9});
  std::string first;
  for (const unsigned threads : {1u, 2u, 8u}) {
    platform::setThreadCount(threads);
    std::string results;
    std::vector<MarkerList> markers(files.size());
    std::vector<std::unique_ptr<RangeTracker>> trackers;
    for (size_t i = 0; i < files.size(); ++i) {
      trackers.push_back(std::make_unique<RangeTracker>(files[i].data(), int32_t(files[i].size())));
      PixelImage image;
      try {
        segment(markers[i], *trackers[i], files[i].data(), int32_t(files[i].size()));
        decodeJpegImage(markers[i], image);
      } catch (const RawLayerException& e) {
        results += e.message() + "\n";
        continue;
      }
      // The progressive pictures and the damaged ones go into the first file's structure: merges
      // write baseline.
      const MarkerList& meta = markers[i >= 3 ? 0 : i];
      results += test::hashOf(image.pixels.get(), size_t{image.width} * image.height * 8) + " " +
                 test::hashOf(encodeJpegFile(image, meta, PropertyList{}, Background{})) + "\n";
    }
    if (threads == 1) first = results;
    EXPECT_EQ(results, first) << threads << " threads";
  }
  platform::setThreadCount(0);
}

// A scan of DC and AC coefficients together in a progressive frame, which only damaged or
// hand-made files hold, is read as a first scan of both: a baseline picture relabelled SOF2 gives
// the baseline's pixels, every block of its MCUs in place.
TEST(Decode, ABaselineScanInAProgressiveFrameGivesTheBaselinePixels) {
  const Bytes baseline = test::encodeWithTurbo(96, 64, test::makeRgbPicture(96, 64), {});
  Bytes relabelled = baseline;
  const Bytes sof0 = {0xFF, 0xC0};
  auto at = std::search(relabelled.begin(), relabelled.end(), sof0.begin(), sof0.end());
  ASSERT_NE(at, relabelled.end());
  at[1] = 0xC2;
  PixelImage expected, image;
  ASSERT_EQ(decodeBytes(baseline, expected), kNoError);
  ASSERT_EQ(decodeBytes(relabelled, image), kNoError);
  const size_t values = size_t{expected.width} * expected.height * 4;
  EXPECT_TRUE(
      std::equal(expected.pixels.get(), expected.pixels.get() + values, image.pixels.get()));
}
#endif

#if TESSEL_WIDE_KERNELS
// The 256-bit kernels give the bits of the 128-bit ones: sparse and dense blocks with extreme
// coefficients and tables, and converter inputs far outside the sample range, NaN included.
TEST(Reconstruct, WideKernelsGiveTheNarrowBits) {
  if (!platform::hasAvx2()) GTEST_SKIP() << "the processor has no AVX2";
  std::mt19937 random(7);
  alignas(16) float q[64];
  for (int round = 0; round < 3000; ++round) {
    alignas(16) int16_t block[64] = {};
    const int count = round % 3 == 0 ? 1 : round % 64;
    for (int i = 0; i < count; ++i) block[random() % 64] = static_cast<int16_t>(random());
    for (int k = 0; k < 64; ++k) {
      q[k] = kIdctScale[k] * static_cast<float>(1 + random() % (round % 2 ? 255 : 65535));
    }
    float narrowOut[64], wideOut[64];
    narrow::inverseDct(block, narrowOut, q);
    wide::inverseDct(block, wideOut, q);
    ASSERT_EQ(0, std::memcmp(narrowOut, wideOut, sizeof narrowOut)) << "block " << round;
  }
  const float specials[] = {NAN, INFINITY, -INFINITY, 3e9f, -3e9f, 127.5f, -128.5f, 0.49f};
  std::vector<float> blocks(6 * 64);
  for (const SamplingMode mode :
       {SamplingMode::kLuma1x1, SamplingMode::kLuma2x1, SamplingMode::kLuma1x2,
        SamplingMode::kLuma2x2, SamplingMode::kGrey}) {
    for (int round = 0; round < 200; ++round) {
      for (float& f : blocks) {
        f = random() % 16 == 0
                ? specials[random() % 8]
                : static_cast<float>(static_cast<int>(random() % 60000) - 30000) / 64;
      }
      std::vector<uint16_t> narrowOut(16 * 16 * 4), wideOut(16 * 16 * 4);
      narrow::converterFor(mode)(blocks.data(), narrowOut.data(), 16);
      wide::converterFor(mode)(blocks.data(), wideOut.data(), 16);
      ASSERT_EQ(narrowOut, wideOut) << "sampling " << int(mode) << ", round " << round;
    }
  }
}
#endif

// A stream of one frame: SOI, DQT table 0 of 1s, the frame header, tables, scans and data, EOI.
Bytes stream(const Bytes& frame, const Bytes& tables, const Bytes& scans) {
  return test::concat({test::kSoi, test::dqtSegment(0), frame, tables, scans, test::kEoi});
}

Bytes greyFrame(uint8_t code, uint32_t width, uint32_t height, uint8_t quant = 0) {
  return test::sofSegment(code, width, height, {{1, 0x11, quant}});
}

// What the baseline pass refuses after taking the memory for the pixels (whose partial content is
// no golden output): tables that a scan names but no segment defines, a DC category above 16.
TEST(Decode, BaselinePassRefusals) {
  const Bytes grey = greyFrame(0xC0, 8, 8);
  const Bytes oneCode = test::dhtSegment({{0x00, {{0x00}}}, {0x10, {{0x00}}}});
  struct Case {
    Bytes frame, tables, scan;
    const char* message;
  };
  const Case cases[] = {
      {grey, test::dhtSegment({{0x00, {{17}}}, {0x10, {{0x00}}}}), test::sosSegment({{1, 0x00}}),
       msg::kCorruptImageData},
      {test::sofSegment(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}), oneCode,
       test::sosSegment({{1, 0x00}}), msg::kMissingHuffmanTable},  // components 2 and 3
      {grey, oneCode, test::sosSegment({{1, 0x40}}), msg::kMissingHuffmanTable},
      {grey, oneCode, test::sosSegment({{1, 0x04}}), msg::kMissingHuffmanTable},
      {grey, oneCode, test::sosSegment({{1, 0x10}}), msg::kMissingHuffmanTable},
      {grey, oneCode, test::sosSegment({{1, 0x01}}), msg::kMissingHuffmanTable},
      {greyFrame(0xC0, 8, 8, 4), oneCode, test::sosSegment({{1, 0x00}}), msg::kMissingQuantTable},
  };
  for (const Case& c : cases) {
    PixelImage image;
    const Bytes scan = test::concat({c.scan, {0x00, 0x00}});
    EXPECT_EQ(decodeBytes(stream(c.frame, c.tables, scan), image), c.message) << &c - cases;
  }
}

// Each scan costs a walk over the whole image, so their number is bounded: 4096 one-bit DC
// refinement scans after a first DC scan are decoded, one more is refused.
TEST(Decode, ProgressiveScansAreAtMost4096) {
  for (const int scans : {4096, 4097}) {
    Bytes data = test::concat({test::sosSegment({{1, 0x00}}, 0, 0, 0x01), {0x00}});
    const Bytes refinement = test::concat({test::sosSegment({{1, 0x00}}, 0, 0, 0x10), {0x80}});
    for (int i = 1; i < scans; ++i) data.insert(data.end(), refinement.begin(), refinement.end());
    PixelImage image;
    const Bytes jpeg = stream(greyFrame(0xC2, 8, 8), test::dhtSegment({{0x00, {{0x00}}}}), data);
    EXPECT_EQ(decodeBytes(jpeg, image),
              scans == 4096 ? kNoError : formatText(msg::kTooManyScans, 4096u));
  }
}

// 33024 blocks that each add 65535 carry the DC predictor past the 32-bit range; it wraps.
TEST(Decode, DcPredictorWraps) {
  test::BitWriter bits;
  for (int i = 0; i < 2048 / 8 * 1032 / 8; ++i) {
    bits.put(0, 1);
    bits.put(0xFFFF, 16);
    bits.put(0, 1);
  }
  const Bytes tables = test::dhtSegment({{0x00, {{16}}}, {0x10, {{0x00}}}});
  PixelImage image;
  const Bytes scan = test::concat({test::sosSegment({{1, 0}}), bits.bytes()});
  EXPECT_EQ(decodeBytes(stream(greyFrame(0xC0, 2048, 1032), tables, scan), image), kNoError);
}

// A frame of 65535 x 65535 pixels needs one bit for each of its blocks; with that much data the
// baseline pass cannot get the pixels, the progressive pass not the coefficients.
TEST(Decode, HugeFramesNeedTheirDataThenTheirMemory) {
  const uint64_t memory = platform::physicalMemoryBytes();
  if (memory == 0 || memory > (uint64_t{48} << 30)) GTEST_SKIP() << "memory unknown or large";
  const Bytes tables = test::dhtSegment({{0x00, {{0x00}}}, {0x10, {{0x00}}}});
  const size_t minimum = (size_t{8192} * 8192 + 2 * 4096 * 4096) / 8;
  const auto frame = [](uint8_t code) {
    return test::sofSegment(code, 65535, 65535, {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}});
  };
  for (const uint8_t code : {0xC0, 0xC2}) {
    for (const size_t length : {minimum - 1, minimum}) {
      const Bytes scan = test::concat(
          {test::sosSegment({{1, 0}, {2, 0}, {3, 0}}, 0, code == 0xC0 ? 63 : 0), Bytes(length, 0)});
      PixelImage image;
      const std::string message = decodeBytes(stream(frame(code), tables, scan), image);
      if (length < minimum) {
        EXPECT_EQ(message, formatText(msg::kCodedDataTooShort, unsigned(length), 65535u, 65535u));
      } else {
        EXPECT_EQ(message,
                  formatText(code == 0xC0 ? msg::kImageTooLarge : msg::kCoefficientsTooLarge,
                             65535u, 65535u));
      }
    }
  }
}

TEST(Decode, LeastDataOfAFrameIsOneBitPerBlock) {
  const std::vector<ComponentSampling> yuv420 = {{2, 2}, {1, 1}, {1, 1}};
  const std::vector<ComponentSampling> grey = {{1, 1}};
  EXPECT_EQ(minimumCodedBytes(8, 32, yuv420), 1u);   // 4 + 2 + 2 blocks
  EXPECT_EQ(minimumCodedBytes(17, 17, yuv420), 3u);  // 9 + 4 + 4 blocks
  EXPECT_EQ(minimumCodedBytes(65, 9, grey), 3u);     // 18 blocks
}

// The Exif thumbnail's frame is described, never decoded: a process or size that the decoder
// refuses in a main image is accepted there.
TEST(Decode, ThumbnailFactsAreCollectedWithoutPixels) {
  struct Case {
    const char* file;
    uint32_t width, height, format;
    std::string mode;
  };
  for (const Case& c : {Case{"thumb-grey.jpg", 8, 8, 0x803, "Baseline gray"},
                        Case{"thumb-sof1.jpg", 16, 8, 0x21808, "Extended sequential 2x2"},
                        Case{"thumb-height-0.jpg", 8, 0, 0x803, "Baseline gray"}}) {
    SCOPED_TRACE(c.file);
    PixelImage image;
    ASSERT_EQ(decodeBytes(test::readFile(test::fixture(std::string("decode/") + c.file)), image),
              kNoError);
    ASSERT_TRUE(image.pixels && image.thumbnail);
    const PixelImage& thumbnail = *image.thumbnail;
    EXPECT_EQ(thumbnail.pixels, nullptr);
    EXPECT_EQ(thumbnail.width, c.width);
    EXPECT_EQ(thumbnail.height, c.height);
    const Property* format = thumbnail.properties.find(kTagPixelFormat);
    const Property* mode = thumbnail.properties.find(kTagCompressionMode);
    ASSERT_TRUE(format && mode);
    uint32_t value = 0;
    std::memcpy(&value, format->data(), 4);
    EXPECT_EQ(value, c.format);
    EXPECT_EQ(reinterpret_cast<const char*>(mode->data()), c.mode);
  }
}

}  // namespace
}  // namespace tessel
