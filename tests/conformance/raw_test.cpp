// Nikon raw files against dcraw: the NEF files of fixtures/nef/ (Nikon's lossless coding, 12 and 14
// bits, every colour-filter layout; fixtures/README.md says how they were written) and of the
// sample folders. What dcraw -D reads without a complaint the project's reader reads alike, each
// sample at the colour of its filter site as dcraw names the pattern; it reads any other file or
// refuses it with "Error <file>: ", a file that is no big-endian TIFF as an invalid structure.

#include <filesystem>

#include "conformance/conformance.h"
#include "sources/image_sources.h"
#include "sources/raw_nikon_decoder.h"

namespace tessel::test {
namespace {

TEST(RawConformance, NefsAreReadAsDcrawReadsThem) {
  if (!haveTool("dcraw")) GTEST_SKIP() << "dcraw missing";
  std::vector<std::string> files = sampleFiles(".nef"), written;
  for (const auto& entry : std::filesystem::directory_iterator(TESSEL_TEST_DIR "/fixtures/nef")) {
    if (entry.path().extension() == ".nef") written.push_back(entry.path());
  }
  files.insert(files.end(), written.begin(), written.end());
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    // dcraw's samples (a 16-bit PGM) and filter pattern ("Filter pattern: RG/GB").
    const RunResult raw = runProgram({"dcraw", "-D", "-4", "-c", path});
    const RunResult info = runProgram({"dcraw", "-i", "-v", path});
    std::istringstream pgm(raw.out);
    std::string magic, pattern;
    size_t width = 0, height = 0, maxval = 0;
    pgm >> magic >> width >> height >> maxval;
    const size_t at = info.out.find("Filter pattern: ");
    if (at != std::string::npos) {
      pattern = info.out.substr(at + 16, 2) + info.out.substr(at + 19, 2);
    }
    const bool read = raw.exitCode == 0 && raw.err.empty() && magic == "P5" &&
                      pattern.size() == 4 && raw.out.size() > width * height * 2;
    EXPECT_TRUE(read || std::find(written.begin(), written.end(), path) == written.end())
        << raw.err;

    PixelImage image;
    const std::string message = messageOf([&] { readRawTiffFile(image, path); });
    const Bytes bytes = readFile(path);
    if (bytes.size() < 4 || !std::equal(bytes.begin(), bytes.begin() + 4, "MM\0*")) {
      EXPECT_EQ(message, "Error " + path + ": Invalid TIFF structure");
    } else if (read) {
      ASSERT_EQ(message, "(no exception)");
      ASSERT_EQ(std::pair(size_t{image.width}, size_t{image.height}), std::pair(width, height));
      std::vector<uint16_t> samples(width * height);
      for (size_t i = 0, at = raw.out.size() - 2 * samples.size(); i < samples.size();
           ++i, at += 2) {
        samples[i] = uint16_t(uint8_t(raw.out[at]) << 8 | uint8_t(raw.out[at + 1]));
      }
      const unsigned shift = cfaShift(*std::max_element(samples.begin(), samples.end()));
      for (size_t i = 0; i < samples.size(); ++i) {
        const size_t colour = std::string("RGB").find(pattern[i % width % 2 + i / width % 2 * 2]);
        ASSERT_EQ(image.pixels[4 * i + colour], samples[i] << shift) << "sample " << i;
      }
    } else if (message != "(no exception)") {
      EXPECT_TRUE(message.starts_with("Error " + path + ": ")) << message;
    }
  }
}

}  // namespace
}  // namespace tessel::test
