// The project's decoder against libjpeg-turbo on real files. What real files lack (every sampling
// at odd sizes, restart intervals, progressive refinement) the decode fixtures hold, and
// decode_test.cpp compares them with libjpeg-turbo alike.
//
// Close, not exact: libjpeg-turbo rounds Y, Cb and Cr to 8 bits after the inverse DCT and each
// chroma term of its colour conversion; this decoder converts the unrounded floats, and its blue
// term is Cb x 1.7795 (457.3386 / 257) against 1.772. Blue carries 1.772 times the rounding of Cb,
// so its mean difference is about 0.5 by itself and a rare sample reaches 3. Red and green agree
// within 2 levels and a mean of 0.55 (red's Cr x 1.40945 against 1.402 adds a bias of up to a
// tenth of a level on average in a strongly coloured photo), blue within 3 and 0.6.

#include "conformance/conformance.h"

namespace tessel::test {
namespace {

void expectCloseToTurbo(const PixelImage& image, const Bytes& jpeg) {
  const Agreement a = agreementWithTurbo(image, jpeg);
  ASSERT_TRUE(a.sameSize);
  EXPECT_TRUE(a.opaque);
  EXPECT_LE(a.aboveTwo, 1e-5 * double(a.samples) + 0.5);  // samples that differ by 3
  for (int c = 0; c < 3; ++c) {
    EXPECT_LE(a.max[c], c == 2 ? 3 : 2) << "channel " << c;
    // A mean over a handful of pixels measures the rounding of a few values.
    if (double(image.width) * image.height >= 4096) {
      EXPECT_LE(a.mean[c], c == 2 ? 0.6 : 0.55) << c;
    }
  }
}

// What the decoder refuses, by the frame alone: a precision other than 8 and 16, a component
// count other than 1, 3 and 4, a layout other than the five, then a process other than baseline
// and progressive Huffman. Empty when it decodes the frame.
std::string expectedRefusal(const Facts& f) {
  const size_t n = f.components.size();
  if (f.precision != 8 && f.precision != 16) {
    return "Unsupported image format (precision=" + std::to_string(f.precision) + ")";
  }
  if (n != 1 && n != 3 && n != 4) {
    return "Unsupported image format (number of components=" + std::to_string(n) + ")";
  }
  if (!f.layoutSupported()) return f.samplingRefusal();
  if (f.sof != 0xC0 && f.sof != 0xC2) {
    return "Unsupported image format (mode=SOF" + std::to_string(f.sof - 0xC0) + ")";
  }
  return "";
}

TEST_P(RealFile, DecodesLikeLibjpegTurboOrRefusesByItsFrame) {
  const std::string& path = GetParam();
  const Bytes bytes = readFile(path);
  const Facts f(bytes);
  PixelImage image;
  const std::string message = decodeFile(path, image);
  // A file that the segment reader refuses fails with the reader's reason.
  const std::string parsed = messageOf([&] { JPEGReader(path).parse(); });
  if (parsed != "(no exception)") {
    EXPECT_EQ(message, parsed);
    return;
  }
  // Components of ID 4 or more (CMYK, RGB) lie outside what the decoder is built for: it decodes
  // them or fails cleanly, and nothing is compared.
  if (!f.slotsByPosition() &&
      std::any_of(f.components.begin(), f.components.end(), [](auto& c) { return c.id >= 4; })) {
    return;
  }
  if (const std::string refusal = expectedRefusal(f); !refusal.empty()) {
    EXPECT_EQ(message, refusal);
    return;
  }
  // Damaged entropy-coded data (cut short, extraneous bytes) that libjpeg-turbo warns about: it
  // recovers differently, so the pixels are not compared. Nor are Adobe RGB files.
  const TurboImage turbo = decodeWithTurbo(bytes);
  if (!turbo.ok || turbo.warnings != 0 || f.adobeTransform == 0) return;
  ASSERT_EQ(message, "(no exception)");
  expectCloseToTurbo(image, bytes);
}

}  // namespace
}  // namespace tessel::test
