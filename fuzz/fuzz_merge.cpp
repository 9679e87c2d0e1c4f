// Merges a small fixed image into arbitrary metadata-source bytes, in memory, as jpgmerge does:
// the bytes are segmented into marker objects and the whole output is built by encodeJpegFile.
// The last input byte picks the image: a fixed 23 x 17 picture with some transparency (which is
// stretched to the frame), or a picture of exactly the frame size. Every output the merge writer
// produces must decode, without a warning, in libjpeg-turbo and in this project's own decoder.

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/range_tracker.h"
#include "frame_cap.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/mp_images.h"
#include "platform/memory.h"

namespace {

// Frames above this many pixels are skipped: they only make each run slow.
constexpr uint64_t kMaxFramePixels = 256 * 256;

tessel::PixelImage makePicture(uint32_t width, uint32_t height, bool transparent) {
  tessel::PixelImage image;
  image.setPixels(width, height, tessel::platform::allocatePixels(width, height));
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint16_t* p = image.pixels.get() + (size_t{y} * width + x) * 4;
      p[0] = static_cast<uint16_t>(x * 2851 + y * 97);
      p[1] = static_cast<uint16_t>(y * 3907);
      p[2] = static_cast<uint16_t>((x ^ y) * 4099);
      p[3] = transparent ? static_cast<uint16_t>((x * y * 1531) & 0xFFFF) : 65535;
    }
  }
  return image;
}

struct TurboError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

// True when libjpeg-turbo decodes every scanline of `file` with neither an error nor a warning.
bool turboAccepts(const std::vector<uint8_t>& file) {
  jpeg_decompress_struct info;
  TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr c) { std::longjmp(((TurboError*)c->err)->jump, 1); };
  error.manager.output_message = [](j_common_ptr) {};
  JSAMPARRAY row = nullptr;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                  info.output_width * info.output_components, 1);
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, row, 1);
  jpeg_finish_decompress(&info);
  const bool clean = error.manager.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  return clean;
}

// True when this project's segment reader and decoder take `file` whole, and every image that
// its multi-picture index lists is a JPEG that both decoders take (previews and copied images
// alike: a copied one came from a source image that was listed as a JPEG too, or is refused).
bool ownDecoderAccepts(const std::vector<uint8_t>& file, const tessel::MarkerList& source) {
  tessel::MarkerList list;
  tessel::RangeTracker tracker(file.data(), static_cast<int32_t>(file.size()));
  tessel::PixelImage image;
  try {
    tessel::segmentFile(list, tracker, file.data(), static_cast<int32_t>(file.size()));
    tessel::decodeJpegImage(list, image);
  } catch (const tessel::RawLayerException&) {
    return false;
  }
  // The image ends the file, or the index's first entry, which gives its size.
  const auto end = static_cast<uint64_t>(list.imageEnd - file.data());
  const tessel::APP2Marker* index = tessel::mpfSegment(list);
  if (list.mpImages.size() != source.mpImages.size() ||
      end != (source.mpImages.empty() ? file.size() : index->mpf->entries[0].size)) {
    return false;
  }
  for (size_t i = 0; i < list.mpImages.size(); ++i) {
    const tessel::MpImage& mp = list.mpImages[i];
    if (!source.mpImages[i].markers) continue;  // copied as the source had it
    if (!mp.markers) return false;
    const std::vector<uint8_t> bytes(mp.bytes(), mp.bytes() + mp.entry->size);
    tessel::PixelImage preview;
    try {
      tessel::decodeJpegImage(*mp.markers, preview, {tessel::Redefinition::kReplaces});
    } catch (const tessel::RawLayerException&) {
      // A copied image decodes as well as the source's did; a preview must decode.
      if (mp.entry->isPreview()) return false;
      continue;
    }
    if (mp.entry->isPreview() && !turboAccepts(bytes)) return false;
  }
  return image.pixels != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0x7FFFFFFF) return 0;
  const bool frameSized = data[size - 1] & 1;
  tessel::MarkerList list;
  tessel::RangeTracker tracker(data, static_cast<int32_t>(size));
  try {
    tessel::segmentFile(list, tracker, data, static_cast<int32_t>(size));
  } catch (const tessel::RawLayerException&) {
    return 0;
  }
  // The frame size the encoder will read (the last SOF wins). Exif thumbnails are encoded at
  // their own frame size, so theirs are capped as well.
  uint32_t width = 0, height = 0;
  if (!tessel::fuzz::framesWithinCap(list, kMaxFramePixels, width, height)) return 0;
  const tessel::PixelImage image =
      frameSized && width && height ? makePicture(width, height, false) : makePicture(23, 17, true);
  tessel::PropertyList overrides;
  try {
    const auto file = tessel::encodeJpegFile(image, list, overrides, tessel::Background{});
    // A merged file is SOI ... EOI, then the MP images of a multi-picture source.
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8 || !turboAccepts(file) ||
        !ownDecoderAccepts(file, list)) {
      std::abort();
    }
  } catch (const tessel::RawLayerException& e) {
    // Bad input fails with a message; an impossible state of the encoder is a crash.
    if (e.message().rfind("Internal error", 0) == 0) std::abort();
  }
  return 0;
}
