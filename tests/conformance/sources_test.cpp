// jpgmerge's image sources against GraphicsMagick: the smooth picture written by GraphicsMagick in
// every format that the imaging library reads, with 16 bits, alpha and palettes; turned and tagged
// with an Orientation by exiftool; as JPEG files by cjpeg; at other sizes. Each is merged into a
// metadata source that cjpeg and exiftool made (4:2:0, partial MCUs, dates, a thumbnail), and the
// output must show what GraphicsMagick reads from the source, turned upright by its Orientation,
// composited over black and stretched to the frame.

#include "conformance/conformance.h"

namespace tessel::test {
namespace {

TEST(MergeImageSources, EveryKindShowsWhatGraphicsMagickReads) {
  for (const char* tool : {"gm", "cjpeg", "exiftool"}) {
    if (!haveTool(tool)) GTEST_SKIP() << tool << " missing";
  }
  TempDir dir;
  constexpr uint32_t kWidth = 248, kHeight = 184;
  for (auto [name, width, height] : {std::tuple{"picture", kWidth, kHeight},
                                     {"twice", 2 * kWidth, 2 * kHeight},
                                     {"wide", 301u, 97u},
                                     {"tall", 100u, 150u}}) {
    writePpm(dir.file(name + std::string(".ppm")), width, height, smoothPicture(width, height));
  }
  // -gamma puts 16-bit samples between the 8-bit levels; the mask's alpha falls from opaque at the
  // left to transparent at the right; Orientation 6 means "turn clockwise to view", 8 "turn
  // counter-clockwise", so the pictures are stored turned the other way.
  const std::string orient = " && exiftool -q -overwrite_original -n -Orientation=";
  const std::pair<const char*, std::string> sources[] = {
      {"rgb8.png", "gm convert picture.ppm -depth 8 PNG24:rgb8.png"},
      {"rgb16.png", "gm convert picture.ppm -gamma 1.1 -depth 16 PNG:rgb16.png"},
      {"rgb8.tif", "gm convert picture.ppm -depth 8 -compress LZW rgb8.tif"},
      {"rgb16.tif", "gm convert picture.ppm -gamma 0.9 -depth 16 rgb16.tif"},
      {"rgb.bmp", "gm convert picture.ppm BMP3:rgb.bmp"},
      {"picture.ppm", "true"},
      {"rgb.tga", "gm convert picture.ppm TGA:rgb.tga"},
      {"rgb.webp", "gm convert picture.ppm -define webp:lossless=true rgb.webp"},
      {"noextension", "gm convert picture.ppm PNG:noextension"},
      {"alpha.png", "gm composite -compose CopyOpacity mask.pgm picture.ppm -depth 8 alpha.png"},
      {"alpha16.png",
       "gm composite -compose CopyOpacity mask.pgm picture.ppm -depth 16 alpha16.png"},
      {"palette.png", "gm convert picture.ppm +dither -colors 256 PNG8:palette.png"},
      {"palette.bmp", "gm convert picture.ppm +dither -colors 256 -type Palette BMP3:palette.bmp"},
      {"palette.gif", "gm convert picture.ppm +dither palette.gif"},
      {"o6.jpg",
       "gm convert picture.ppm -rotate -90 s6.ppm && cjpeg -quality 98 -sample 1x1 "
       "-outfile o6.jpg s6.ppm" +
           orient + "6 o6.jpg"},
      {"o8.JPEG",
       "gm convert picture.ppm -rotate 90 s8.ppm && cjpeg -quality 98 -sample 1x1 "
       "-outfile o8.JPEG s8.ppm" +
           orient + "8 o8.JPEG"},
      {"progressive.jpg", "cjpeg -quality 95 -progressive -outfile progressive.jpg picture.ppm"},
      {"o6.tif", "gm convert picture.ppm -rotate -90 -depth 8 o6.tif" + orient + "6 o6.tif"},
      {"o8.tif", "gm convert picture.ppm -rotate 90 -depth 8 o8.tif" + orient + "8 o8.tif"},
      {"o6_16.tif", "gm convert picture.ppm -rotate -90 -gamma 1.1 -depth 16 o6_16.tif" + orient +
                        "6 o6_16.tif"},
      {"twice.png", "gm convert twice.ppm twice.png"},
      {"wide.png", "gm convert wide.ppm wide.png"},
      {"tall.png", "gm convert tall.ppm tall.png"}};
  const RunResult made = runShell(
      "cjpeg -quality 92 -sample 2x2 -outfile meta.jpg picture.ppm && gm convert picture.ppm "
      "-resize "
      "64x48! thumb.ppm && cjpeg -outfile thumb.jpg thumb.ppm && exiftool -q -overwrite_original "
      "'-ModifyDate=2020:01:01 00:00:00' '-DateTimeOriginal=2020:01:01 00:00:00' '-CreateDate=2020:"
      "01:01 00:00:00' '-ThumbnailImage<=thumb.jpg' meta.jpg && gm convert -size 184x248 "
      "gradient:white-black -rotate -90 mask.pgm",
      dir.path());
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const double bound = Facts(readFile(dir.file("meta.jpg"))).lumaBound();
  for (const auto& [name, make] : sources) {
    SCOPED_TRACE(name);
    const RunResult source = runShell(make, dir.path());
    ASSERT_EQ(source.exitCode, 0) << source.err;
    const RunResult run = runProgram(
        {TESSEL_JPGMERGE, "-i", name, "-m", "meta.jpg", "-o", "out.jpg", "-t", kDate}, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    const Bytes output = readFile(dir.file("out.jpg"));
    const TurboImage decoded = decodeWithTurbo(output);
    ASSERT_TRUE(decoded.ok && decoded.warnings == 0) << decoded.error;
    ASSERT_EQ(std::pair(decoded.width, decoded.height), std::pair(kWidth, kHeight));
    runProgram({"gm", "convert", name, "-auto-orient", "-background", "black", "-flatten",
                "-resize", "248x184!", "-depth", "8", "expected.ppm"},
               dir.path());
    const Bytes expected = readFile(dir.file("expected.ppm"));
    ASSERT_GE(expected.size(), decoded.rgb.size());
    const std::vector<float> rgb(expected.end() - decoded.rgb.size(), expected.end());
    EXPECT_GE(yccPsnr(output, rgb, false, 1), bound);
    EXPECT_GE(psnr(decoded.rgb, Bytes(rgb.begin(), rgb.end())), kColourBound);
  }
  const RunResult identify =
      runProgram({"gm", "identify", "palette.png", "palette.bmp"}, dir.path());
  EXPECT_NE(identify.out.find("PseudoClass"), identify.out.rfind("PseudoClass")) << identify.out;
  const RunResult dates =
      runShell("exiftool -s3 -ModifyDate -DateTimeOriginal -CreateDate out.jpg", dir.path());
  EXPECT_EQ(dates.out, std::string(kDate) + "\n" + kDate + "\n" + kDate + "\n");
}

}  // namespace
}  // namespace tessel::test
