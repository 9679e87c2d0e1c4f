// The merge writer against independent tools, with real files as metadata sources and their own
// pixels (decoded by libjpeg-turbo) as the image: libjpeg-turbo decodes every output without a
// warning and close to the pixels; the segments up to the scan are the source's; the Huffman
// tables are as good as jpegtran's; the quality matches cjpeg's with the same tables and sampling;
// and the project's decoder reads the outputs as libjpeg-turbo does.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "exif/property_list.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder_test_support.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::Bytes;

const PropertyList kNoOverrides;

// What the frame and tables of a source say, read straight from its bytes.
struct SourceFacts {
  std::map<int, std::vector<int>> tables;  // Tq -> 64 values in natural order
  struct Component {
    int id, h, v, tq;
  };
  std::vector<Component> components;
  int width = 0, height = 0;
};

SourceFacts factsOf(const Bytes& file) {
  SourceFacts facts;
  for (const auto& s : test::segmentsUpToScan(file)) {
    const uint8_t* p = s.bytes.data() + 4;
    const size_t n = s.bytes.size() - 4;
    if (s.code == 0xDB) {
      for (size_t pos = 0; pos < n;) {
        const bool wide = p[pos] & 0x10;
        std::vector<int> values(64);
        for (int k = 0; k < 64; ++k) {
          values[test::kNaturalOfZigzag[k]] =
              wide ? (p[pos + 1 + 2 * k] << 8 | p[pos + 2 + 2 * k]) : p[pos + 1 + k];
        }
        facts.tables[p[pos] & 15] = values;
        pos += wide ? 129 : 65;
      }
    } else if (s.code == 0xC0) {
      facts.height = p[1] << 8 | p[2];
      facts.width = p[3] << 8 | p[4];
      for (int i = 0; i < p[5]; ++i) {
        facts.components.push_back(
            {p[6 + 3 * i], p[7 + 3 * i] >> 4, p[7 + 3 * i] & 15, p[8 + 3 * i]});
      }
    }
  }
  return facts;
}

// Bytes of entropy-coded data: from the end of the SOS segment to the EOI.
size_t scanBytes(const Bytes& file) {
  size_t start = 0;
  test::segmentsUpToScan(file, &start);
  return file.size() - 2 - start;
}

// The luma that the JFIF conversion gives for 8-bit RGB samples.
std::vector<uint8_t> jfifLuma(const std::vector<uint8_t>& rgb) {
  std::vector<uint8_t> luma;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    luma.push_back(static_cast<uint8_t>(
        std::lround(0.299 * rgb[i] + 0.587 * rgb[i + 1] + 0.114 * rgb[i + 2])));
  }
  return luma;
}

void writePnm(const std::string& path, const test::Decoded& image) {
  std::ofstream out(path, std::ios::binary);
  out << (image.components == 1 ? "P5\n" : "P6\n") << image.width << " " << image.height
      << "\n255\n";
  out.write(reinterpret_cast<const char*>(image.samples.data()),
            static_cast<std::streamsize>(image.samples.size()));
}

// A 3 x 3 box blur of 8-bit samples (edges clamped).
test::Decoded blur(const test::Decoded& image) {
  test::Decoded out = image;
  const int n = image.components;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      for (int c = 0; c < n; ++c) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int sx = std::clamp(x + dx, 0, image.width - 1);
            const int sy = std::clamp(y + dy, 0, image.height - 1);
            sum += image.samples[(size_t(sy) * image.width + sx) * n + c];
          }
        }
        out.samples[(size_t(y) * image.width + x) * n + c] = static_cast<uint8_t>((sum + 4) / 9);
      }
    }
  }
  return out;
}

// PSNR of decoded Y, Cb, Cr planes against the pixels converted with the encoder's own colour
// weights (`jfif`: libjpeg's; otherwise this encoder's), without rounding.
double yccPsnr(const test::TurboImage& planes, const test::Decoded& image, bool jfif) {
  double sum = 0;
  size_t count = 0;
  for (size_t i = 0; i < size_t(image.width) * image.height; ++i) {
    double expected[3];
    if (image.components == 1) {
      expected[0] = image.samples[i];
    } else {
      const double r = image.samples[3 * i], g = image.samples[3 * i + 1],
                   b = image.samples[3 * i + 2];
      if (jfif) {
        expected[0] = 0.299 * r + 0.587 * g + 0.114 * b;
        expected[1] = 128 - 0.168735892 * r - 0.331264108 * g + 0.5 * b;
        expected[2] = 128 + 0.5 * r - 0.418687589 * g - 0.081312411 * b;
      } else {
        expected[0] = (76 * r + 150 * g + 29 * b) / 255;
        expected[1] = 128 + (-43 * r - 84 * g + 127 * b) / 255;
        expected[2] = 128 + (127 * r - 107 * g - 20 * b) / 255;
      }
    }
    for (int c = 0; c < (image.components == 1 ? 1 : 3); ++c) {
      const double d = planes.rgb[3 * i + c] - expected[c];
      sum += d * d;
      ++count;
    }
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(count) / sum);
}

// Messages with which a metadata source that this encoder cannot take is refused.
bool isRefusal(const std::string& message) {
  return message == msg::kMergeBaselineOnly ||
         message.rfind(msg::kMergeUnsupportedSamplingOpen, 0) == 0 ||
         message.rfind("Unsupported image format (precision=", 0) == 0 ||
         message == msg::kMergeMissingSof || message == msg::kMergeMissingSos ||
         message == msg::kMergeInvalidComponentId;
}

class EncoderConformance : public ::testing::TestWithParam<std::string> {};

TEST_P(EncoderConformance, MergesItsOwnPixels) {
  const std::string path = GetParam();
  const Bytes source = test::readFile(path);
  const test::Decoded pixels = test::decodeWithLibjpeg(source);
  if (!pixels.ok) GTEST_SKIP() << "libjpeg-turbo cannot decode it: " << pixels.error;
  JPEGReader reader(path);
  try {
    reader.parse();
  } catch (const RawLayerException& e) {
    GTEST_SKIP() << "the reader refuses it: " << e.message();
  }
  const PixelImage image = test::toPixelImage(pixels);
  Bytes output;
  try {
    output = encodeJpegFile(image, *reader.markers, kNoOverrides, Background{});
  } catch (const RawLayerException& e) {
    EXPECT_TRUE(isRefusal(e.message())) << e.message();
    GTEST_SKIP() << "not a source the encoder takes: " << e.message();
  }
  const SourceFacts facts = factsOf(source);
  ASSERT_FALSE(facts.components.empty());

  // libjpeg-turbo reads it without a warning, at the frame size.
  const test::Decoded decoded = test::decodeWithLibjpeg(output);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.warnings, 0);
  EXPECT_EQ(decoded.width, facts.width);
  EXPECT_EQ(decoded.height, facts.height);

  // The segments up to the scan header are the source's, but DHT (same table headers, new
  // contents) and DRI (dropped).
  size_t scanStart = 0;
  const auto in = test::segmentsUpToScan(source);
  const auto out = test::segmentsUpToScan(output, &scanStart);
  size_t o = 0;
  for (const auto& segment : in) {
    if (segment.code == 0xDD) continue;
    ASSERT_LT(o, out.size());
    const auto& written = out[o++];
    ASSERT_EQ(written.code, segment.code);
    if (segment.code == 0xC4) {
      std::vector<uint8_t> inHeaders, outHeaders;
      for (size_t pos = 4; pos < segment.bytes.size();) {
        inHeaders.push_back(segment.bytes[pos]);
        size_t count = 0;
        for (int i = 1; i <= 16; ++i) count += segment.bytes[pos + i];
        pos += 17 + count;
      }
      for (size_t pos = 4; pos < written.bytes.size();) {
        outHeaders.push_back(written.bytes[pos]);
        size_t count = 0;
        for (int i = 1; i <= 16; ++i) count += written.bytes[pos + i];
        pos += 17 + count;
        ASSERT_LE(pos, written.bytes.size());
      }
      EXPECT_EQ(outHeaders, inHeaders);
    } else if (segment.code == 0xE1 && segment.bytes.size() > 10 &&
               Bytes(segment.bytes.begin() + 4, segment.bytes.begin() + 10) ==
                   Bytes{'E', 'x', 'i', 'f', 0, 0}) {
      // An Exif block may carry a new thumbnail; its block never shrinks.
      EXPECT_GE(written.bytes.size(), segment.bytes.size());
    } else {
      EXPECT_EQ(written.bytes, segment.bytes) << "segment " << o;
    }
  }
  EXPECT_EQ(o, out.size());
  // One scan without restart markers, closed by EOI.
  ASSERT_GE(output.size(), scanStart + 2);
  EXPECT_EQ(output[output.size() - 2], 0xFF);
  EXPECT_EQ(output.back(), 0xD9);
  for (size_t i = scanStart; i + 2 < output.size(); ++i) {
    if (output[i] == 0xFF) ASSERT_EQ(output[i + 1], 0x00) << "at " << i;
  }

  // Close to the pixels it was made from. Each quantized coefficient is off by at most q/2, so
  // by Parseval the luma of a block is off by at most sqrt(sum q^2 / 4) in total, that is
  // sqrt(sum q^2 / 256) per pixel (root mean square); the 8-bit rounding and integer transform
  // of the decoder and the difference between the encoder's colour weights and the JFIF ones
  // add less than 2 levels to any pixel.
  const int lumaTable = facts.components[0].tq;
  double sumSquares = 0;
  for (int q : facts.tables.at(lumaTable)) sumSquares += double(q) * q;
  const double bound = 20 * std::log10(255.0 / (std::sqrt(sumSquares / 256) + 2));
  const test::Decoded luma = test::decodeWithLibjpeg(output, true);
  ASSERT_TRUE(luma.ok);
  const auto reference = pixels.components == 1 ? pixels.samples : jfifLuma(pixels.samples);
  EXPECT_GE(test::psnr(luma.samples, reference), bound);

  // The project's decoder reads the output as libjpeg-turbo does, compared as the decoder's own
  // conformance test does: libjpeg-turbo with its float inverse DCT and replicating upsampling,
  // pixels whose Y, Cb or Cr libjpeg-turbo had to range-limit left out of the largest difference
  // (the project's decoder converts the unlimited values).
  {
    PixelImage ours;
    test::decodeBytes(output, ours);
    const test::TurboImage turbo = test::decodeWithTurbo(output);
    const test::TurboImage ycc = test::decodeWithTurbo(output, false, true);
    ASSERT_TRUE(turbo.ok && ycc.ok);
    ASSERT_EQ(ours.width, turbo.width);
    ASSERT_EQ(ours.height, turbo.height);
    const test::Difference d = test::compareWithTurbo(ours, turbo, ycc);
    // libjpeg-turbo rounds Y, Cb and Cr to 8 bits and each chroma term of its colour conversion
    // to an integer, the project's decoder converts the unrounded floats: blue carries 1.772
    // times the rounding of Cb, so a rare sample differs by 3 and the mean comes near 0.5.
    const double samples = 3.0 * turbo.width * turbo.height;
    for (int c = 0; c < 3; ++c) {
      EXPECT_LE(d.max[c], 3) << "channel " << c;
      if (samples >= 3 * 4096) EXPECT_LE(d.mean[c], 0.6) << "channel " << c;
    }
    EXPECT_LE(d.aboveTwo, 2 + 1e-5 * samples);
    RecordProperty("decoder", std::to_string(d.max[0]) + " " + std::to_string(d.max[1]) + " " +
                                  std::to_string(d.max[2]) + " mean " + std::to_string(d.mean[0]) +
                                  " " + std::to_string(d.mean[1]) + " " +
                                  std::to_string(d.mean[2]) + " above2 " +
                                  std::to_string(d.aboveTwo));
  }

  if (!test::haveTool("jpegtran") || !test::haveTool("cjpeg")) GTEST_SKIP() << "no jpegtran";
  test::TempDir dir;
  const std::string ours = dir.file("ours.jpg");
  test::writeFile(ours, output);

  // Optimal tables: the entropy-coded data is no larger than what jpegtran -optimize makes of
  // the same coefficients (+0.1 %). jpegtran rewrites the blocks that lie wholly outside the
  // image in partial MCUs (DC of the block before, no AC), where this encoder codes the
  // replicated edge, so the coefficients are the same only when the frame is whole MCUs.
  int maxH = 1, maxV = 1;
  for (const auto& c : facts.components) {
    maxH = std::max(maxH, c.h);
    maxV = std::max(maxV, c.v);
  }
  if (facts.width % (8 * maxH) == 0 && facts.height % (8 * maxV) == 0) {
    const auto optimized = test::runShell("jpegtran -optimize -copy all -outfile " +
                                          dir.file("optimized.jpg") + " " + ours);
    ASSERT_EQ(optimized.exitCode, 0) << optimized.err;
    const Bytes theirs = test::readFile(dir.file("optimized.jpg"));
    EXPECT_LE(double(scanBytes(output)), double(scanBytes(theirs)) * 1.001)
        << scanBytes(output) << " vs " << scanBytes(theirs);
  }

  // Quality: within 0.3 dB of cjpeg's float DCT with the same tables and sampling, on the same
  // pixels. Measured in each encoder's own Y, Cb, Cr: the encoder's colour weights (76, 150,
  // 29 / 255 and so on) are not exactly the inverse of the JFIF conversion that decoders apply,
  // which moves saturated colours by up to about a level whatever the quantization; comparing
  // Y, Cb and Cr against each encoder's own conversion of the pixels measures the transform,
  // quantization and chroma averaging alone. The PSNR in RGB is checked too, with room for the
  // colour weights (up to 2 dB on small saturated pictures at high quality; with JFIF weights in
  // their place this encoder is within 0.3 dB of cjpeg in RGB on every sample). The pixels are
  // the source's, lightly blurred: pixels that libjpeg decoded from these very tables re-encode
  // almost losslessly through libjpeg's own colour conversion, an advantage that says nothing
  // about the encoders.
  const test::Decoded blurred = blur(pixels);
  const Bytes ourBlurred =
      encodeJpegFile(test::toPixelImage(blurred), *reader.markers, kNoOverrides, Background{});
  std::ostringstream tables, slots, sampling;
  for (const auto& [number, values] : facts.tables) {
    for (int v : values) tables << v << " ";
    tables << "\n";
  }
  // cjpeg numbers the tables it reads from 0 in file order.
  std::map<int, int> slotOf;
  for (const auto& entry : facts.tables) slotOf.emplace(entry.first, int(slotOf.size()));
  for (size_t i = 0; i < facts.components.size(); ++i) {
    const auto& c = facts.components[i];
    slots << (i ? "," : "") << slotOf.at(c.tq);
    sampling << (i ? "," : "") << c.h << "x" << c.v;
  }
  test::writeFile(dir.file("tables.txt"), tables.str());
  writePnm(dir.file("pixels.pnm"), blurred);
  const auto cjpeg = test::runShell(
      "cjpeg -dct float " + std::string(pixels.components == 1 ? "-grayscale " : "") + "-qtables " +
      dir.file("tables.txt") + " -qslots " + slots.str() + " -sample " + sampling.str() +
      " -outfile " + dir.file("cjpeg.jpg") + " " + dir.file("pixels.pnm"));
  ASSERT_EQ(cjpeg.exitCode, 0) << cjpeg.err;
  const test::Decoded reference8 = test::decodeWithLibjpeg(test::readFile(dir.file("cjpeg.jpg")));
  const test::Decoded ourDecoded = test::decodeWithLibjpeg(ourBlurred);
  ASSERT_TRUE(reference8.ok && ourDecoded.ok);
  const double ourPsnr = test::psnr(ourDecoded.samples, blurred.samples);
  const double theirPsnr = test::psnr(reference8.samples, blurred.samples);
  const double ourYcc = yccPsnr(test::decodeWithTurbo(ourBlurred, false, true), blurred, false);
  const double theirYcc = yccPsnr(
      test::decodeWithTurbo(test::readFile(dir.file("cjpeg.jpg")), false, true), blurred, true);
  // A PSNR over a handful of pixels measures the rounding of a few values, not an encoder.
  if (blurred.width * blurred.height >= 4096) {
    EXPECT_GE(ourPsnr, theirPsnr - 2.0) << ourPsnr << " dB vs cjpeg " << theirPsnr << " dB";
    EXPECT_GE(ourYcc, theirYcc - 0.3) << ourYcc << " dB vs cjpeg " << theirYcc << " dB";
  }
  RecordProperty("psnr", std::to_string(ourPsnr) + " cjpeg " + std::to_string(theirPsnr) + " ycc " +
                             std::to_string(ourYcc) + " cjpeg " + std::to_string(theirYcc));
}

std::string nameOf(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(info.param.find_last_of('/') + 1);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Samples, EncoderConformance,
                         ::testing::ValuesIn(test::sampleFiles(".jpg")), nameOf);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EncoderConformance);

// Images of another size than the frame are stretched to it and still decode cleanly.
TEST(EncoderConformanceResize, StretchedImagesDecodeCleanly) {
  int used = 0;
  for (const auto& path : test::sampleFiles(".jpg")) {
    if (used == 6) break;
    JPEGReader reader(path);
    try {
      reader.parse();
    } catch (const RawLayerException&) {
      continue;
    }
    const PixelImage picture = test::makePicture(301, 97);
    Bytes output;
    try {
      output = encodeJpegFile(picture, *reader.markers, kNoOverrides, Background{});
    } catch (const RawLayerException& e) {
      EXPECT_TRUE(isRefusal(e.message())) << path << ": " << e.message();
      continue;
    }
    ++used;
    const SourceFacts facts = factsOf(test::readFile(path));
    const test::Decoded decoded = test::decodeWithLibjpeg(output);
    ASSERT_TRUE(decoded.ok) << path << ": " << decoded.error;
    EXPECT_EQ(decoded.warnings, 0) << path;
    EXPECT_EQ(decoded.width, facts.width) << path;
    EXPECT_EQ(decoded.height, facts.height) << path;
  }
  if (used == 0) GTEST_SKIP() << "no sample files";
}

// Optimal tables across qualities and samplings, on metadata sources that libjpeg-turbo made at
// whole-MCU sizes: the entropy-coded data is within 0.1 % of jpegtran -optimize's.
TEST(EncoderConformanceTables, AsSmallAsJpegtranOptimize) {
  if (!test::haveTool("jpegtran")) GTEST_SKIP() << "no jpegtran";
  test::TempDir dir;
  const PixelImage picture = test::makePicture(192, 128);
  const auto rgb = test::rgb8(picture);
  for (int quality : {30, 75, 90, 98}) {
    for (auto [h, v, grey] :
         {std::tuple{1, 1, false}, std::tuple{2, 1, false}, std::tuple{1, 2, false},
          std::tuple{2, 2, false}, std::tuple{1, 1, true}}) {
      SCOPED_TRACE(std::to_string(quality) + " " + std::to_string(h) + "x" + std::to_string(v) +
                   (grey ? " grey" : ""));
      const Bytes source = test::encodeWithLibjpeg(rgb, 192, 128, quality, h, v, 0, grey);
      test::ParsedJpeg parsed(source);
      const Bytes output = encodeJpegFile(picture, parsed.markers(), kNoOverrides, Background{});
      test::writeFile(dir.file("ours.jpg"), output);
      const auto run = test::runShell("jpegtran -optimize -copy all -outfile " +
                                      dir.file("theirs.jpg") + " " + dir.file("ours.jpg"));
      ASSERT_EQ(run.exitCode, 0) << run.err;
      const Bytes theirs = test::readFile(dir.file("theirs.jpg"));
      EXPECT_LE(double(scanBytes(output)), double(scanBytes(theirs)) * 1.001)
          << scanBytes(output) << " vs " << scanBytes(theirs);
      // Smaller than with the source's standard tables, too (for colour: in grey this encoder
      // averages the channels where libjpeg weighs them, which is another picture).
      if (!grey) EXPECT_LT(scanBytes(output), scanBytes(source));
    }
  }
}

}  // namespace
}  // namespace tessel
