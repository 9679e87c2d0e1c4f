// Feeds arbitrary bytes to the image-source loader as a file whose extension sends it to the
// imaging library: format recognition, the allow-list, the library's decoders for the accepted
// formats, the property walk and the pixel conversion.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/imaging_loader.h"
#include "sources/image_sources.h"

namespace {

std::string scratchFile() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(base) + "/tessel-fuzz-imaging-" + std::to_string(getpid()) + ".img";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessel::ImagingSession session;
  static const std::string name = [] {
    // Keep each image within what a fuzzing process can hold many times over.
    tessel::imaging::limitImageSize(uint64_t{1} << 22, 1 << 14);
    return scratchFile();
  }();
  static struct Cleanup {
    ~Cleanup() { std::remove(name.c_str()); }
  } cleanup;

  FILE* file = std::fopen(name.c_str(), "wb");
  if (!file) return 0;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  std::fclose(file);
  if (!written) return 0;

  tessel::PixelImage image;
  try {
    tessel::loadImageSource(image, name);
    // A loaded image is complete: its size and its pixel block agree.
    if ((image.width == 0 || image.height == 0) != (image.pixels == nullptr)) std::abort();
    if (image.pixels) {
      const uint16_t* last = image.pixels.get() + 4 * (size_t(image.width) * image.height - 1);
      volatile uint16_t sink = last[3];
      (void)sink;
    }
  } catch (const tessel::RawLayerException&) {
    // Bad input fails with a message; anything else escapes and crashes.
  }
  return 0;
}
