// jpgmerge end to end with the Nikon raw and KPX container image sources: the built program reads
// fixture files made here, writes a JPEG at the metadata source's size, and its pixels agree with
// what the library's own readers give for the same files. Broken sources fail with their message
// and leave the output alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "jpeg/decoder_test_support.h"
#include "sources/image_sources.h"
#include "sources/kpx_messages.h"
#include "sources/raw_messages.h"
#include "support/kpx_builder.h"
#include "support/nef_builder.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::TempDir;
namespace fs = std::filesystem;

// How far the merged output may stray from the source pixels, per 8-bit channel.
//
// The metadata sources here are quality 100 with 1x1 sampling: every quantizer is 1 and chroma is
// not down-sampled, so the only losses are roundings: the encoder's float colour conversion (its
// weights are 1/255 steps, off by at most 0.5/255 from the exact ones) and each DCT coefficient
// rounded to an integer (about 0.3 levels RMS per sample after the inverse transform), then
// libjpeg-turbo's float inverse DCT and integer YCbCr-to-RGB rounding (up to 1 level each) and
// the source's own 16-to-8-bit rounding. Together these stay within a few levels at any pixel and
// under one level on average (0.55 to 0.6 measured); a wrong colour, a shifted row, a swapped
// channel or a lost alpha would be off by tens of levels.
constexpr int kMaxLevels = 4;
constexpr double kMeanLevels = 0.8;

struct Agreement {
  int max = 0;
  double mean = 0;
};

// Pixel (x, y) of the decoded output against source pixel (x * step, y * step) composited over
// black, as the merge does with partly transparent pixels.
Agreement compare(const test::TurboImage& output, const PixelImage& source, uint32_t step = 1) {
  Agreement a;
  double sum = 0;
  for (uint32_t y = 0; y < output.height; ++y) {
    for (uint32_t x = 0; x < output.width; ++x) {
      const uint16_t* p =
          source.pixels.get() + 4 * (size_t{y * step} * source.width + size_t{x} * step);
      for (int c = 0; c < 3; ++c) {
        const uint16_t composited = static_cast<uint16_t>(uint32_t{p[c]} * p[3] / 65535);
        const int expected = test::toEightBits(composited);
        const int diff =
            std::abs(expected - int{output.rgb[(size_t{y} * output.width + x) * 3 + c]});
        a.max = std::max(a.max, diff);
        sum += diff;
      }
    }
  }
  a.mean = sum / (3.0 * output.width * output.height);
  return a;
}

class JpgmergeSourcesTest : public ::testing::Test {
 protected:
  // A baseline metadata-source JPEG of the given size, quality 100, no chroma down-sampling.
  void writeMetadataSource(const std::string& name, uint32_t width, uint32_t height) {
    test::EncodeOptions options;
    options.lumaH = options.lumaV = 1;
    options.quality = 100;
    test::writeFile(
        dir_.file(name),
        test::encodeWithTurbo(width, height, test::makeRgbPicture(width, height, 7), options));
  }

  test::RunResult merge(const std::string& image, const std::string& meta,
                        const std::string& output) {
    return test::runProgram({TESSEL_JPGMERGE, "-i", image, "-m", meta, "-o", output}, dir_.path());
  }

  // Runs a merge that must succeed and returns the output as libjpeg-turbo decodes it.
  test::TurboImage mergeAndDecode(const std::string& image, const std::string& meta) {
    fs::remove(dir_.file("out.jpg"));
    const test::RunResult result = merge(image, meta, "out.jpg");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    if (!fs::exists(dir_.file("out.jpg"))) return {};
    test::TurboImage decoded = test::decodeWithTurbo(test::readFile(dir_.file("out.jpg")));
    EXPECT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.warnings, 0);
    return decoded;
  }

  test::DirectorySnapshot snapshot() const { return test::snapshotDirectory(dir_.path()); }

  TempDir dir_;
};

TEST_F(JpgmergeSourcesTest, NefSourcesMergeAtTheMetadataSizeWithTheReadersPixels) {
  constexpr uint32_t kWidth = 48, kHeight = 32;
  writeMetadataSource("meta.jpg", kWidth, kHeight);
  struct Case {
    unsigned bits;
    test::CfaLayout layout;
    uint32_t strips;
    const char* name;  // the upper-case extension goes the same way
  };
  for (const Case& c : {Case{12, test::CfaLayout::kRGGB, 1, "camera.nef"},
                        Case{14, test::CfaLayout::kGBRG, 2, "CAMERA.NEF"}}) {
    SCOPED_TRACE(c.name);
    test::NefOptions options;
    options.bitsPerSample = c.bits;
    options.cfa = c.layout;
    options.strips = c.strips;
    const test::RawSamples samples =
        test::syntheticSamples(kWidth, kHeight / c.strips, c.bits, c.bits);
    test::writeFile(dir_.file(c.name), test::makeNef(samples, options).serialize());

    PixelImage source;
    readRawTiffFile(source, dir_.file(c.name));
    ASSERT_EQ(source.width, kWidth);
    ASSERT_EQ(source.height, kHeight);

    const test::TurboImage output = mergeAndDecode(c.name, "meta.jpg");
    ASSERT_EQ(output.width, kWidth);
    ASSERT_EQ(output.height, kHeight);
    const Agreement a = compare(output, source);
    EXPECT_LE(a.max, kMaxLevels);
    EXPECT_LE(a.mean, kMeanLevels);
  }
}

TEST_F(JpgmergeSourcesTest, KpxSourcesAreCompositedOverBlackAndScaledToTheMetadataSize) {
  // 64 x 48 pixels: gradients in every channel, alpha falling to 0 over the bottom rows.
  constexpr uint32_t kWidth = 64, kHeight = 48;
  std::vector<uint16_t> samples;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      samples.push_back(static_cast<uint16_t>(2000 + x * 900 + y * 100));
      samples.push_back(static_cast<uint16_t>(60000 - y * 1100));
      samples.push_back(static_cast<uint16_t>((x * 37 + y * 53) % 64 * 1000));
      samples.push_back(static_cast<uint16_t>(y < 32 ? 65535 : 65535 - (y - 32) * 4369));
    }
  }
  test::writeFile(dir_.file("image.kpx"), test::KpxWriter()
                                              .prop({test::kpxAscii(271, "Maker")})
                                              .rgba(kWidth, kHeight, samples)
                                              .finish());
  PixelImage source;
  readKpxFile(source, dir_.file("image.kpx"));

  // Half the size in each direction: a whole-pixel step, so every second pixel of every second
  // row is taken as it stands.
  writeMetadataSource("half.jpg", kWidth / 2, kHeight / 2);
  const test::TurboImage half = mergeAndDecode("image.kpx", "half.jpg");
  ASSERT_EQ(half.width, kWidth / 2);
  ASSERT_EQ(half.height, kHeight / 2);
  const Agreement a = compare(half, source, 2);
  EXPECT_LE(a.max, kMaxLevels);
  EXPECT_LE(a.mean, kMeanLevels);
}

TEST_F(JpgmergeSourcesTest, BrokenSourcesFailWithTheirMessageAndLeaveTheOutputAlone) {
  writeMetadataSource("meta.jpg", 16, 16);
  test::writeFile(dir_.file("existing.jpg"), std::string("keep me"));
  const test::RawSamples samples = test::syntheticSamples(16, 16, 12, 3);

  test::NefFile truncated = test::makeNef(samples);
  truncated.tiff.blob("strip").bytes.pop_back();
  test::writeFile(dir_.file("truncated.nef"), truncated.serialize());
  test::writeFile(dir_.file("badkey.KPX"),
                  test::KpxWriter().rgba(1, 1, {1, 2, 3, 4}).section("JUNK", {}).finish());

  const std::string prefix = "Exception: ";
  const std::pair<std::string, std::string> cases[] = {
      {"truncated.nef", "Error truncated.nef: " + std::string(msg::kRawNikonInvalid)},
      {"badkey.KPX", msg::kKpxGarbageSectionKey},
  };
  const auto before = snapshot();
  for (const auto& [image, message] : cases) {
    for (const char* output : {"new.jpg", "existing.jpg"}) {
      SCOPED_TRACE(image + " to " + output);
      const test::RunResult result = merge(image, "meta.jpg", output);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.err, prefix + message + "\n");
      EXPECT_EQ(result.out, "");
    }
  }
  // A missing file fails when it is mapped, without the reader's "Error" form.
  const test::RunResult missing = merge("missing.kpx", "meta.jpg", "new.jpg");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.err.rfind(prefix + "File missing.kpx: failed on CreateFile: ", 0), 0u)
      << missing.err;
  EXPECT_EQ(snapshot(), before);
}

// The sample NEFs (a little-endian TIFF cut short, and a JPEG under a NEF name) are refused as
// image sources with the raw reader's structure message.
TEST_F(JpgmergeSourcesTest, SampleNefsAreRefusedAsImageSources) {
  std::vector<std::string> files;
  for (const std::string& file : test::sampleFiles(".nef")) {
    const std::string base = fs::path(file).filename().string();
    if (base == "exiftool_Nikon_D70.nef" || base == "Issue_247-1_is_jpeg.nef") {
      files.push_back(file);
    }
  }
  if (files.empty()) GTEST_SKIP() << "no NEF samples";
  writeMetadataSource("meta.jpg", 16, 16);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const test::RunResult result = merge(file, "meta.jpg", "out.jpg");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Exception: Error " + file + ": " + msg::kRawInvalidStructure + "\n");
    EXPECT_FALSE(fs::exists(dir_.file("out.jpg")));
  }
}

}  // namespace
}  // namespace tessel
