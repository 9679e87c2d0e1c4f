// Nikon raw conformance: Debian's dcraw reads the fixture NEFs as real Nikon lossless files, and
// the third-party NEF samples fail cleanly.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/image_sources.h"
#include "sources/raw_messages.h"
#include "sources/raw_nikon_decoder.h"
#include "support/nef_builder.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::CfaLayout;

// The samples of a binary 16-bit PGM ("P5", width, height, maxval, big-endian samples).
bool parsePgm16(const std::string& text, uint32_t& width, uint32_t& height,
                std::vector<uint16_t>& samples) {
  size_t at = 0;
  const auto field = [&]() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    const size_t start = at;
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return text.substr(start, at - start);
  };
  if (field() != "P5") return false;
  width = static_cast<uint32_t>(std::stoul(field()));
  height = static_cast<uint32_t>(std::stoul(field()));
  if (field() != "65535") return false;
  ++at;  // the single white-space character before the samples
  if (text.size() - at != size_t{width} * height * 2) return false;
  samples.resize(size_t{width} * height);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<uint16_t>(static_cast<uint8_t>(text[at + 2 * i]) << 8 |
                                       static_cast<uint8_t>(text[at + 2 * i + 1]));
  }
  return true;
}

TEST(RawConformanceTest, DcrawReadsTheFixtureSamplesAndSoDoesTheReader) {
  if (!test::haveTool("dcraw")) GTEST_SKIP() << "dcraw is not installed";
  test::TempDir dir;
  for (unsigned bits : {12u, 14u}) {
    for (CfaLayout layout : test::kAllCfaLayouts) {
      SCOPED_TRACE(std::to_string(bits) + "-bit " + test::cfaName(layout));
      // An odd width and height, so no row or column pairs up by accident.
      const test::RawSamples samples = test::syntheticSamples(101, 67, bits, bits * 10 + 1);
      test::NefOptions options;
      options.bitsPerSample = bits;
      options.cfa = layout;
      options.seeds = {{{static_cast<uint16_t>(1 << (bits - 1)), 17}, {3, 1000}}};
      const std::string name = dir.file("fixture.nef");
      test::writeFile(name, test::makeNef(samples, options).serialize());

      const test::RunResult dcraw = test::runShell("dcraw -D -4 -c '" + name + "'");
      ASSERT_EQ(dcraw.exitCode, 0) << dcraw.err;
      EXPECT_EQ(dcraw.err, "");  // dcraw reports corrupt data on standard error
      uint32_t width = 0, height = 0;
      std::vector<uint16_t> decoded;
      ASSERT_TRUE(parsePgm16(dcraw.out, width, height, decoded));
      ASSERT_EQ(width, samples.width);
      ASSERT_EQ(height, samples.rows);
      EXPECT_EQ(decoded, samples.values);

      PixelImage image;
      readRawTiffFile(image, name);
      const unsigned shift = cfaShift(*std::max_element(decoded.begin(), decoded.end()));
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          const int own = test::cfaColour(layout, x, y);
          ASSERT_EQ(image.pixels[4 * (size_t{y} * width + x) + own],
                    decoded[y * width + x] << shift);
        }
      }
    }
  }
}

// The NEF samples are not usable raw images: a little-endian TIFF cut short, and a JPEG under a
// NEF name. Any other NEF in the sample folders must decode or fail with a message, never crash.
TEST(RawConformanceTest, SampleNefsFailCleanly) {
  const std::vector<std::string> files = test::sampleFiles(".nef");
  if (files.empty()) GTEST_SKIP() << "no NEF samples";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string base = std::filesystem::path(file).filename().string();
    PixelImage image;
    std::string message;
    try {
      readRawTiffFile(image, file);
    } catch (const RawLayerException& e) {
      message = e.message();
    }
    if (base == "exiftool_Nikon_D70.nef" || base == "Issue_247-1_is_jpeg.nef") {
      EXPECT_EQ(message, "Error " + file + ": " + msg::kRawInvalidStructure);
    } else if (!message.empty()) {
      EXPECT_EQ(message.rfind("Error " + file + ": ", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace tessel
