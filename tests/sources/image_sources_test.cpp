#include "sources/image_sources.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "exif/property_list.h"
#include "sources/gdiplus_loader.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::TempDir;

using test::messageOf;

class ImageSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new ImagingSession(); }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override {
    if (!test::haveTool("gm")) GTEST_SKIP() << "GraphicsMagick's gm is not installed";
  }

  // Runs a shell command in the temporary directory.
  void sh(const std::string& command) {
    const auto result = test::runShell("cd '" + dir_.path() + "' && " + command);
    ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
  }

  // A 32 x 16 JPEG in four colour blocks (left half red, right half blue, darker at the bottom)
  // so that turns survive the lossy coding.
  void blockJpeg(const std::string& name) {
    test::Bytes ppm = {'P', '6', '\n', '3', '2', ' ', '1', '6', '\n', '2', '5', '5', '\n'};
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 32; ++x) {
        const uint8_t level = y < 8 ? 255 : 128;
        ppm.push_back(x < 16 ? level : 0);
        ppm.push_back(0);
        ppm.push_back(x < 16 ? 0 : level);
      }
    }
    test::writeFile(dir_.file("blocks.ppm"), ppm);
    sh("gm convert blocks.ppm -quality 95 -sampling-factor 1x1 '" + name + "'");
  }

  TempDir dir_;
  static ImagingSession* session_;
};
ImagingSession* ImageSourceTest::session_ = nullptr;

TEST_F(ImageSourceTest, TheExactExtensionChoosesTheReader) {
  sh("gm convert -size 3x2 xc:red -depth 8 -type TrueColor source.png");
  const test::Bytes png = test::readFile(dir_.file("source.png"));
  ASSERT_FALSE(png.empty());

  // PNG bytes under JPEG names go to the segment reader, which finds no JPEG markers; raw and
  // container names go to their own readers. None of them reaches the imaging library.
  for (const std::string name : {"a.JPG", "a.jpeg", "a.NEF", "a.kpx"}) {
    test::writeFile(dir_.file(name), png);
    PixelImage image;
    const std::string message = messageOf([&] { loadImageSource(image, dir_.file(name)); });
    if (name.find(".j") != std::string::npos || name.find(".J") != std::string::npos) {
      EXPECT_TRUE(message == "Missing JPEG SOI" || message == "Missing JPEG EOI") << message;
    }
    EXPECT_NE(message, "(no exception)") << name;
    EXPECT_EQ(message.find("Error reading"), std::string::npos) << name << ": " << message;
  }
  // Mixed case, other extensions, no extension and a dot only in a directory name go to the
  // imaging library, which reads the content.
  ASSERT_EQ(::mkdir(dir_.file("photos.jpg").c_str(), 0700), 0);
  for (const char* name :
       {"a.Jpg", "a.", "noextension", "photos.jpg/picture", "a.jpg.bak", "a.Nef"}) {
    test::writeFile(dir_.file(name), png);
    PixelImage image;
    loadImageSource(image, dir_.file(name));
    EXPECT_EQ(image.width, 3u) << name;
  }
}

TEST_F(ImageSourceTest, JpegOrientationSixAndEightTurnTheDecodedImage) {
  if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  blockJpeg("plain.jpg");
  for (int value : {3, 6, 8}) {
    const std::string number = std::to_string(value);
    sh(std::string("exiftool -q -n -Orientation=") + number + " -o o" + number + ".jpg plain.jpg");
  }
  // The picture upright (IFD0 1), its thumbnail on its side (IFD1 6), as some cameras write it.
  sh("gm convert -size 8x4 xc:green thumb.jpg && exiftool -q -n '-ThumbnailImage<=thumb.jpg' "
     "-IFD0:Orientation=1 -IFD1:Orientation=6 -o thumb6.jpg plain.jpg");
  PixelImage o6;
  const std::string message = messageOf([&] { loadImageSource(o6, dir_.file("o6.jpg")); });
  ASSERT_EQ(message, "(no exception)");

  auto sample = [](const PixelImage& image, uint32_t x, uint32_t y, int channel) {
    return image.pixels[4 * (size_t(y) * image.width + x) + channel];
  };
  // Stored: red left, blue right, bright top. Clockwise: red on top, bright on the right.
  ASSERT_EQ(o6.width, 16u);
  ASSERT_EQ(o6.height, 32u);
  EXPECT_GT(sample(o6, 12, 4, 0), 60000);   // top right: bright red
  EXPECT_GT(sample(o6, 12, 28, 2), 60000);  // bottom right: bright blue
  EXPECT_LT(sample(o6, 3, 4, 0), 40000);    // top left: dark red

  PixelImage o8;
  loadImageSource(o8, dir_.file("o8.jpg"));
  ASSERT_EQ(o8.width, 16u);
  EXPECT_GT(sample(o8, 3, 28, 0), 60000);  // counter-clockwise: bright red at the bottom left

  // 3 is left as decoded, and so is a picture whose thumbnail alone is turned.
  for (const char* name : {"o3.jpg", "thumb6.jpg"}) {
    PixelImage image;
    loadImageSource(image, dir_.file(name));
    ASSERT_EQ(image.width, 32u) << name;
    EXPECT_GT(sample(image, 4, 4, 0), 60000) << name;  // bright red still at the top left
  }
}

}  // namespace
}  // namespace tessel
