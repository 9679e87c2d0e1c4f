// The decoder against libjpeg-turbo on real files nobody here wrote, and on files made here with
// libjpeg-turbo's encoder for what the samples lack (every sampling, restart intervals,
// progressive files with refinement scans, odd sizes).
//
// Two checks per file:
// 1. Exact: libjpeg-turbo's entropy decoder reads the quantized coefficients, and the
//    reconstruction formulas, written out plainly in the test, turn them into pixels. This
//    library's decode must equal that sample for sample.
// 2. Close: libjpeg-turbo's own decode with the float inverse DCT and replicating upsampling,
//    compared at 8 bits (v / 257, rounded). libjpeg-turbo rounds Y, Cb and Cr to 8 bits after the
//    inverse DCT, range-limits them to 0..255, and rounds each chroma term of its colour
//    conversion to an integer; this decoder converts the unrounded floats. Blue carries 1.772
//    times the rounding error of Cb, so its mean difference is about 0.5 by itself and a rare
//    sample can reach 3 (0.5 + 0.886 + 0.5 + 0.5). The thresholds below allow exactly that;
//    pixels that libjpeg-turbo range-limited are left out of the largest difference.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "core/exception.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/decoder_test_support.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;

// Red and green must agree within 2 levels and a mean of 0.5. Blue gets one level and 0.1 more:
// this decoder's blue term is Cb x 1.7795 (457.3386 / 257), libjpeg-turbo's Cb x 1.772, so
// strongly coloured areas differ by up to one level more (measured: max 3 on 9 samples of one
// file, means up to 0.54).
constexpr int kMaxDifference[3] = {2, 2, 3};
constexpr double kMaxMeanDifference[3] = {0.5, 0.5, 0.6};
constexpr double kMaxAboveTwo = 1e-5;       // share of samples that may differ by 3
constexpr double kMinPixelsForMean = 4096;  // a mean over a handful of pixels says nothing

// Sample files whose verdict is known: the exact message this decoder gives, or the reason the
// file lies outside what the decoder is built for (then it must only fail cleanly or decode).
struct KnownFile {
  const char* message;  // expected failure; null: see `reason`
  const char* reason;   // outside the design: decoded without a crash, not compared
};
const std::map<std::string, KnownFile>& knownFiles() {
  static const std::map<std::string, KnownFile> files = {
      {"unsupported/testimgari.jpg", {"Unsupported image format (mode=SOF9)", nullptr}},
      {"unsupported/monkey12.jpg", {"Unsupported image format (precision=12)", nullptr}},
      {"unsupported/jpeg_lossless_sel1.jpg", {"Unsupported image format (mode=SOF3)", nullptr}},
      {"unsupported/hopper_16bit_qtables.jpg", {"Unsupported image format (mode=SOF1)", nullptr}},
      {"unsupported/mjpeg_no_DHT.jpg", {"Unknown APP0 signature", nullptr}},
      {"unsupported/beach_DNL.jpg",
       {"Unsupported sampling ( comp 0: 1 x 1 comp 1: 1 x 1 comp 2: 1 x 1 )", nullptr}},
      {"sampling/video-001.q50.411.jpg",
       {"Unsupported sampling ( comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1 )", nullptr}},
      {"sampling/video-001.221212.jpg",
       {"Unsupported sampling ( comp 1: 2 x 2 comp 2: 1 x 2 comp 3: 1 x 2 )", nullptr}},
      {"sampling/Minolta_DiMAGE_EX.jpg",
       {"Unsupported sampling ( comp 1: 2 x 2 comp 2: 1 x 2 comp 3: 1 x 2 )", nullptr}},
      {"sampling/grayscale_16x24_sampling2x2.jpg",
       {"Unsupported sampling ( comp 1: 2 x 2 )", nullptr}},
      {"cmyk/pil_sample_cmyk.jpg", {nullptr, "four components (YCCK): no CMYK path"}},
      {"cmyk/Multiple_ICC_segments.jpg", {nullptr, "four components (YCCK): no CMYK path"}},
      {"cmyk/video-001.cmyk.jpg", {nullptr, "four components (CMYK): no CMYK path"}},
      {"cmyk/video-001.rgb.jpg", {nullptr, "Adobe transform 0 (RGB): always decoded as YCbCr"}},
      {"corrupt/dc-predictor-overflow.jpg", {nullptr, "corrupt entropy-coded data"}},
  };
  return files;
}

std::string relativeName(const std::string& path) {
  const std::filesystem::path p(path);
  return p.parent_path().filename().string() + "/" + p.filename().string();
}

// The five layouts: one 1x1 component, or three with 1x1 chroma and luma 1x1, 2x1, 1x2 or 2x2.
bool supportedSampling(const test::TurboImage& header) {
  const int* h = header.samplingH;
  const int* v = header.samplingV;
  if (header.components == 1) return h[0] == 1 && v[0] == 1;
  return header.components == 3 && h[1] == 1 && v[1] == 1 && h[2] == 1 && v[2] == 1 && h[0] <= 2 &&
         v[0] <= 2;
}

// Decodes a file with this library the way jpgdump does: map, segment, decode.
std::string decodeFile(const std::string& path, PixelImage& image) {
  return test::messageOf([&] {
    JPEGReader reader(path);
    reader.parse();
    decodeJpegImage(*reader.markers, image);
  });
}

void expectMatchesReferences(const PixelImage& image, const Bytes& jpeg, const std::string& name) {
  const test::reference::Image expected = test::reference::decode(jpeg, kIdctScale.data());
  ASSERT_TRUE(expected.ok) << name;
  EXPECT_EQ(test::samplesDifferingFrom(image, expected), 0) << name;

  const test::TurboImage turbo = test::decodeWithTurbo(jpeg);
  const test::TurboImage ycc = test::decodeWithTurbo(jpeg, false, true);
  ASSERT_TRUE(turbo.ok && ycc.ok) << name;
  ASSERT_EQ(image.width, turbo.width) << name;
  ASSERT_EQ(image.height, turbo.height) << name;
  const test::Difference d = test::compareWithTurbo(image, turbo, ycc);
  EXPECT_TRUE(d.alphaOpaque) << name;
  const double samples = 3.0 * image.width * image.height;
  EXPECT_LE(d.aboveTwo, kMaxAboveTwo * samples + 0.5) << name;
  for (int c = 0; c < 3; ++c) {
    EXPECT_LE(d.max[c], kMaxDifference[c]) << name << " channel " << c;
    if (image.width * double(image.height) >= kMinPixelsForMean) {
      EXPECT_LE(d.mean[c], kMaxMeanDifference[c]) << name << " channel " << c;
    }
  }
}

TEST(DecoderConformance, SampleFilesDecodeLikeLibjpegTurboOrFailAsDesigned) {
  const std::vector<std::string> files = test::sampleFiles(".jpg");
  if (files.empty()) GTEST_SKIP() << "no sample folders";
  int compared = 0, refused = 0, outside = 0, damaged = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    const std::string name = relativeName(path);
    const Bytes bytes = test::readFile(path);
    const test::TurboImage turbo = test::decodeWithTurbo(bytes);
    PixelImage image;
    const std::string message = decodeFile(path, image);

    const auto known = knownFiles().find(name);
    if (known != knownFiles().end()) {
      if (known->second.message) {
        EXPECT_EQ(message, known->second.message);
        ++refused;
      } else {
        ++outside;  // decoded or failed cleanly; nothing to compare
      }
      continue;
    }
    if (message != "(no exception)") {
      // Files that this library's segment reader refuses (no EOI, junk between segments) and
      // files outside the design found in extra sample folders: a clean failure is the verdict,
      // but it must name the reason when the frame is the cause.
      const test::TurboImage header = test::decodeWithTurbo(bytes, true);
      if (header.ok && (header.arithmetic || !supportedSampling(header))) {
        EXPECT_TRUE(message.rfind("Unsupported", 0) == 0) << message;
      }
      ++refused;
      continue;
    }
    if (!turbo.ok || turbo.components == 4 ||
        (turbo.components == 3 && turbo.adobe && turbo.adobeTransform != 1)) {
      ++outside;
      continue;
    }
    if (turbo.warnings != 0) {
      // Damaged entropy-coded data (cut short, extraneous bytes): decoded without an error, as
      // the design wants; libjpeg-turbo recovers differently, so the pixels are not compared.
      ++damaged;
      continue;
    }
    if (image.height == 0) {
      EXPECT_EQ(image.pixels, nullptr);  // a frame whose height a DNL marker would give
      continue;
    }
    expectMatchesReferences(image, bytes, name);
    ++compared;
  }
  std::printf("compared %d, refused as designed %d, outside the design %d, damaged %d\n", compared,
              refused, outside, damaged);
  EXPECT_GT(compared, 0);
}

// What the samples lack: every sampling, restart intervals, progressive files with refinement
// scans, odd sizes, greyscale, and restart intervals that divide the MCU count.
TEST(DecoderConformance, EncodedVariantsDecodeLikeLibjpegTurbo) {
  struct Variant {
    uint32_t width, height;
    test::EncodeOptions options;
  };
  std::vector<Variant> variants;
  const uint32_t sizes[][2] = {{1, 1}, {17, 9}, {33, 47}, {64, 64}, {123, 77}};
  const int samplings[][2] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}};
  for (const auto& size : sizes) {
    for (bool progressive : {false, true}) {
      for (unsigned restart : {0u, 1u, 3u, 4u}) {
        for (const auto& s : samplings) {
          test::EncodeOptions o;
          o.lumaH = s[0];
          o.lumaV = s[1];
          o.progressive = progressive;
          o.restartInterval = restart;
          variants.push_back({size[0], size[1], o});
        }
        test::EncodeOptions grey;
        grey.grey = true;
        grey.progressive = progressive;
        grey.restartInterval = restart;
        variants.push_back({size[0], size[1], grey});
      }
    }
  }
  for (int quality : {10, 50, 100}) {
    test::EncodeOptions o;
    o.quality = quality;
    o.progressive = quality != 50;
    variants.push_back({96, 80, o});
  }

  for (const Variant& v : variants) {
    SCOPED_TRACE(testing::Message()
                 << v.width << "x" << v.height << " luma " << v.options.lumaH << "x"
                 << v.options.lumaV << (v.options.grey ? " grey" : "")
                 << (v.options.progressive ? " progressive" : " baseline") << " restart "
                 << v.options.restartInterval << " quality " << v.options.quality);
    const Bytes jpeg = test::encodeWithTurbo(v.width, v.height,
                                             test::makeRgbPicture(v.width, v.height), v.options);
    PixelImage image;
    ASSERT_EQ(test::messageOf([&] { test::decodeBytes(jpeg, image); }), "(no exception)");
    expectMatchesReferences(image, jpeg, "variant");
  }
}

}  // namespace
}  // namespace tessel
