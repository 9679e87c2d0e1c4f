// Parses arbitrary bytes as an Exif TIFF block and lists the directory tree, as the APP1 segment
// does inside a JPEG file.

#include <cstdint>
#include <cstdlib>

#include "core/exception.h"
#include "core/range_tracker.h"
#include "exif/tag_names.h"
#include "exif/tiff_directory.h"
#include "null_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An Exif block lives in one JPEG segment, so it is never longer than 65533 bytes.
  if (size > 0xFFFF) return 0;
  tessel::RangeTracker tracker(data, static_cast<int32_t>(size));
  tessel::TIFFDirectory directory;
  NullStream out;
  try {
    tessel::parseExif(directory, tracker, data);
  } catch (const tessel::RawLayerException&) {
    // Bad input fails with a message; the entries parsed before stay and are listed below.
  }
  tessel::printDirectory(directory, data, 1, out);
  directory.findTag(tessel::kTagThumbnailOffset);
  if (tracker.unclaimedBytes() > size) std::abort();
  return 0;
}
