// The merge writer against independent tools. Real files are the metadata sources and their own
// pixels, decoded by libjpeg-turbo, the image. For every output: libjpeg-turbo decodes it without
// a warning and close to the pixels; its segments up to the scan are the source's; its Huffman
// tables are as good as jpegtran -optimize's; its quality matches cjpeg's with the same tables and
// sampling; and the project's decoder reads it as libjpeg-turbo does.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <numeric>
#include <sstream>

#include "exif/property_list.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::Bytes;

const PropertyList kNone;

// The quantization tables (natural order, by number) and the frame's components of a source.
struct Facts {
  std::map<int, std::vector<int>> tables;
  std::vector<std::array<int, 4>> components;  // id, h, v, table
  int width = 0, height = 0, maxH = 1, maxV = 1;
};
Facts factsOf(const Bytes& file) {
  Facts f;
  for (const auto& s : test::segmentsUpToScan(file)) {
    const uint8_t* p = s.bytes.data() + 4;
    for (size_t pos = 0; s.code == 0xDB && pos + 4 < s.bytes.size();
         pos += p[pos] & 0x10 ? 129 : 65) {
      auto& t = f.tables[p[pos] & 15] = std::vector<int>(64);
      for (int k = 0; k < 64; ++k) {
        t[test::kNaturalOfZigzag[k]] =
            p[pos] & 0x10 ? p[pos + 1 + 2 * k] << 8 | p[pos + 2 + 2 * k] : p[pos + 1 + k];
      }
    }
    if (s.code != 0xC0) continue;
    f.height = p[1] << 8 | p[2], f.width = p[3] << 8 | p[4];
    for (int i = 0; i < p[5]; ++i) {
      const uint8_t* c = p + 6 + 3 * i;
      f.components.push_back({c[0], c[1] >> 4, c[1] & 15, c[2]});
      f.maxH = std::max(f.maxH, c[1] >> 4), f.maxV = std::max(f.maxV, c[1] & 15);
    }
  }
  return f;
}

size_t scanBytes(const Bytes& file) {
  size_t start = 0;
  test::segmentsUpToScan(file, &start);
  return file.size() - 2 - start;
}

// PSNR of the first `planes` decoded planes of Y, Cb, Cr against the pixels converted with an
// encoder's own weights, unrounded: libjpeg's JFIF ones, or this encoder's (76, 150, 29 / 255
// and so on).
double yccPsnr(const Bytes& jpeg, const std::vector<uint8_t>& rgb, bool jfif, int planes = 3) {
  const test::TurboImage decoded = test::decodeWithTurbo(jpeg, false, true);
  double sum = 0;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    const double r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
    const double expected[3] = {
        jfif ? 0.299 * r + 0.587 * g + 0.114 * b : (76 * r + 150 * g + 29 * b) / 255,
        128 + (jfif ? -0.168735892 * r - 0.331264108 * g + 0.5 * b
                    : (-43 * r - 84 * g + 127 * b) / 255),
        128 + (jfif ? 0.5 * r - 0.418687589 * g - 0.081312411 * b
                    : (127 * r - 107 * g - 20 * b) / 255)};
    for (int c = 0; c < planes; ++c) sum += std::pow(decoded.rgb[i + c] - expected[c], 2);
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(rgb.size() / 3 * planes) / sum);
}

// A 3 x 3 box blur (edges clamped).
std::vector<uint8_t> blur(const std::vector<uint8_t>& rgb, int w, int h) {
  std::vector<uint8_t> out(rgb.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int d = 0; d < 9; ++d) {
          sum += rgb[(size_t(std::clamp(y + d / 3 - 1, 0, h - 1)) * w +
                      std::clamp(x + d % 3 - 1, 0, w - 1)) *
                         3 +
                     c];
        }
        out[(size_t(y) * w + x) * 3 + c] = uint8_t((sum + 4) / 9);
      }
    }
  }
  return out;
}

bool isRefusal(const std::string& m) {
  return m == msg::kMergeBaselineOnly || m == msg::kMergeInvalidComponentId ||
         m.rfind(msg::kMergeUnsupportedSamplingOpen, 0) == 0;
}

class EncoderConformance : public ::testing::TestWithParam<std::string> {};

TEST_P(EncoderConformance, MergesItsOwnPixels) {
  const Bytes source = test::readFile(GetParam());
  const test::TurboImage pixels = test::decodeWithTurbo(source);
  if (!pixels.ok) GTEST_SKIP() << "libjpeg-turbo cannot decode it: " << pixels.error;
  JPEGReader reader(GetParam());
  try {
    reader.parse();
  } catch (const RawLayerException& e) {
    GTEST_SKIP() << "the reader refuses it: " << e.message();
  }
  const uint32_t w = pixels.width, h = pixels.height;
  Bytes output;
  try {
    output = encodeJpegFile(test::fromRgb8(pixels.rgb, w, h), *reader.markers, kNone, {});
  } catch (const RawLayerException& e) {
    EXPECT_TRUE(isRefusal(e.message())) << e.message();
    GTEST_SKIP() << "not a source this encoder takes: " << e.message();
  }
  const Facts facts = factsOf(source);

  // libjpeg-turbo reads it without a warning, at the frame size.
  const test::TurboImage decoded = test::decodeWithTurbo(output);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.warnings, 0);
  ASSERT_EQ(std::pair(decoded.width, decoded.height),
            std::pair(uint32_t(facts.width), uint32_t(facts.height)));

  // Segments up to the scan: the source's, but DHT (same table headers in the same order, new
  // contents) and DRI (dropped). An Exif block may carry a new thumbnail and never shrinks.
  size_t scanStart = 0, o = 0;
  const auto out = test::segmentsUpToScan(output, &scanStart);
  auto tableHeaders = [](const Bytes& segment) {
    Bytes headers;
    for (size_t pos = 4; pos + 17 <= segment.size();) {
      headers.push_back(segment[pos]);
      pos += 17 + std::accumulate(segment.begin() + pos + 1, segment.begin() + pos + 17, size_t{0});
    }
    return headers;
  };
  for (const auto& in : test::segmentsUpToScan(source)) {
    if (in.code == 0xDD) continue;
    ASSERT_LT(o, out.size());
    const auto& written = out[o++];
    ASSERT_EQ(written.code, in.code);
    if (in.code == 0xC4) {
      EXPECT_EQ(tableHeaders(written.bytes), tableHeaders(in.bytes));
    } else if (in.code == 0xE1 && in.bytes.size() > 10 &&
               std::equal(in.bytes.begin() + 4, in.bytes.begin() + 10, "Exif\0\0")) {
      EXPECT_GE(written.bytes.size(), in.bytes.size());
    } else {
      EXPECT_EQ(written.bytes, in.bytes) << "segment " << o;
    }
  }
  EXPECT_EQ(o, out.size());
  EXPECT_TRUE(test::scanIsClean(output, scanStart));

  // Close to the pixels. Each quantized coefficient is off by at most q/2, so by Parseval a
  // block's luma is off by at most sqrt(sum q^2 / 4) in total, sqrt(sum q^2 / 256) per pixel
  // (root mean square); the decoder's integer transform and 8-bit rounding add less than a
  // level. Measured against the encoder's own luma weights.
  const bool grey = facts.components.size() == 1;
  double sumSquares = 0;
  for (int q : facts.tables.at(facts.components[0][3])) sumSquares += double(q) * q;
  EXPECT_GE(yccPsnr(output, pixels.rgb, false, 1),
            20 * std::log10(255.0 / (std::sqrt(sumSquares / 256) + 1)));

  // The project's decoder reads the output exactly as its reconstruction formulas read the
  // coefficients that libjpeg-turbo's entropy decoder finds, and close to libjpeg-turbo's own
  // pixels. libjpeg-turbo rounds Y, Cb and Cr to 8 bits and each chroma term of its colour
  // conversion, and range-limits before converting (those pixels are left out): blue carries
  // 1.772 times the rounding of Cb, so a rare sample differs by 3 and the mean difference of
  // blue alone is near 0.5 (up to 0.7 in these outputs) whatever the file.
  {
    PixelImage ours;
    test::decodeBytes(output, ours);
    EXPECT_EQ(test::samplesDifferingFrom(ours, test::reference::decode(output, kIdctScale.data())),
              0);
    const test::TurboImage ycc = test::decodeWithTurbo(output, false, true);
    int largest = 0, aboveTwo = 0, counted = 0;
    for (size_t i = 0; i < size_t{w} * h; ++i) {
      if (std::any_of(&ycc.rgb[3 * i], &ycc.rgb[3 * i + 3],
                      [](uint8_t v) { return v == 0 || v == 255; })) {
        continue;
      }
      for (int c = 0; c < 3; ++c, ++counted) {
        const int d = std::abs(test::toEightBits(ours.pixels[4 * i + c]) - decoded.rgb[3 * i + c]);
        largest = std::max(largest, d);
        aboveTwo += d > 2;
      }
    }
    EXPECT_LE(largest, 3);
    EXPECT_LE(aboveTwo, 2 + 1e-5 * counted);
  }

  if (!test::haveTool("jpegtran") || !test::haveTool("cjpeg")) GTEST_SKIP() << "no jpegtran";
  test::TempDir dir;
  // Optimal tables: no more entropy-coded data than jpegtran -optimize makes of the same
  // coefficients (+0.1 %). jpegtran recodes the blocks lying wholly outside the image in partial
  // MCUs (DC of the block before, no AC) where this encoder codes the replicated edge, so the
  // coefficients are the same only for frames of whole MCUs.
  if (facts.width % (8 * facts.maxH) == 0 && facts.height % (8 * facts.maxV) == 0) {
    test::writeFile(dir.file("ours.jpg"), output);
    ASSERT_EQ(test::runShell("jpegtran -optimize -copy all -outfile " + dir.file("opt.jpg") + " " +
                             dir.file("ours.jpg"))
                  .exitCode,
              0);
    EXPECT_LE(double(scanBytes(output)),
              double(scanBytes(test::readFile(dir.file("opt.jpg")))) * 1.001);
  }

  // Quality against cjpeg -dct float with the same tables and sampling, on the same pixels:
  // within 0.3 dB in each encoder's own Y, Cb, Cr, and within 2 dB in RGB. The colour weights
  // are not quite the inverse of the JFIF conversion that decoders apply, which moves saturated
  // colours by up to about a level whatever the quantization: with JFIF weights in their place
  // this encoder is within 0.3 dB of cjpeg in RGB too. The pixels are lightly blurred: pixels
  // that libjpeg decoded from these very tables re-encode almost losslessly through libjpeg's
  // own colour conversion, an advantage that says nothing about the encoders. A PSNR over a
  // handful of pixels measures the rounding of a few values, so small frames are left out.
  if (w * h < 4096) return;
  const auto blurred = blur(pixels.rgb, int(w), int(h));
  const Bytes ours = encodeJpegFile(test::fromRgb8(blurred, w, h), *reader.markers, kNone, {});
  std::ostringstream tables, slots, sampling, header;
  std::map<int, int> slotOf;  // cjpeg numbers the tables it reads from 0, in file order
  for (const auto& [number, values] : facts.tables) {
    for (int v : values) tables << v << " ";
    tables << "\n";
    slotOf.emplace(number, int(slotOf.size()));
  }
  for (const auto& c : facts.components) {
    slots << (slots.tellp() ? "," : "") << slotOf.at(c[3]);
    sampling << (sampling.tellp() ? "," : "") << c[1] << "x" << c[2];
  }
  test::writeFile(dir.file("tables.txt"), tables.str());
  header << "P6\n" << w << " " << h << "\n255\n";
  const std::string ppm = header.str();
  test::writeFile(dir.file("pixels.ppm"), test::concat({Bytes(ppm.begin(), ppm.end()), blurred}));
  ASSERT_EQ(test::runShell("cjpeg -dct float " + std::string(grey ? "-grayscale " : "") +
                           "-qtables " + dir.file("tables.txt") + " -qslots " + slots.str() +
                           " -sample " + sampling.str() + " -outfile " + dir.file("cjpeg.jpg") +
                           " " + dir.file("pixels.ppm"))
                .exitCode,
            0);
  const Bytes theirs = test::readFile(dir.file("cjpeg.jpg"));
  const double ourRgb = test::psnr(test::decodeWithTurbo(ours).rgb, blurred);
  const double theirRgb = test::psnr(test::decodeWithTurbo(theirs).rgb, blurred);
  const int planes = grey ? 1 : 3;
  const double ourYcc = yccPsnr(ours, blurred, false, planes);
  const double theirYcc = yccPsnr(theirs, blurred, true, planes);
  if (!grey) {
    EXPECT_GE(ourRgb, theirRgb - 2.0) << ourRgb << " dB, cjpeg " << theirRgb;
  }
  EXPECT_GE(ourYcc, theirYcc - 0.3) << ourYcc << " dB, cjpeg " << theirYcc;
  RecordProperty("psnr",
                 std::to_string(ourRgb - theirRgb) + " " + std::to_string(ourYcc - theirYcc));
}

INSTANTIATE_TEST_SUITE_P(Samples, EncoderConformance,
                         ::testing::ValuesIn(test::sampleFiles(".jpg")), [](const auto& info) {
                           std::string name = info.param.substr(info.param.find_last_of('/') + 1);
                           for (char& c : name) c = std::isalnum(uint8_t(c)) ? c : '_';
                           return name + "_" + std::to_string(info.index);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EncoderConformance);

// Tables as small as jpegtran -optimize's across qualities and samplings, on sources that
// libjpeg-turbo made at whole-MCU sizes; and pictures of another size stretched to the frame.
TEST(EncoderConformanceMade, OptimalTablesAndStretchedPictures) {
  if (!test::haveTool("jpegtran")) GTEST_SKIP() << "no jpegtran";
  test::TempDir dir;
  const auto rgb = test::makeRgbPicture(192, 128);
  for (int quality : {30, 75, 90, 98}) {
    for (auto [h, v, grey] :
         {std::tuple{1, 1, false}, {2, 1, false}, {1, 2, false}, {2, 2, false}, {1, 1, true}}) {
      SCOPED_TRACE(std::to_string(quality) + " " + std::to_string(h) + "x" + std::to_string(v));
      test::EncodeOptions options;
      options.quality = quality, options.lumaH = h, options.lumaV = v, options.grey = grey;
      test::ParsedJpeg source(test::encodeWithTurbo(192, 128, rgb, options));
      const Bytes output =
          encodeJpegFile(test::fromRgb8(rgb, 192, 128), source.markers(), kNone, {});
      test::writeFile(dir.file("ours.jpg"), output);
      ASSERT_EQ(test::runShell("jpegtran -optimize -copy all -outfile " + dir.file("opt.jpg") +
                               " " + dir.file("ours.jpg"))
                    .exitCode,
                0);
      EXPECT_LE(double(scanBytes(output)),
                double(scanBytes(test::readFile(dir.file("opt.jpg")))) * 1.001);
      const auto stretched = test::decodeWithTurbo(encodeJpegFile(
          test::fromRgb8(test::makeRgbPicture(301, 97), 301, 97), source.markers(), kNone, {}));
      ASSERT_TRUE(stretched.ok) << stretched.error;
      EXPECT_EQ(stretched.warnings, 0);
      EXPECT_EQ(stretched.width * 1000 + stretched.height, 192128u);
    }
  }
}

}  // namespace
}  // namespace tessel
