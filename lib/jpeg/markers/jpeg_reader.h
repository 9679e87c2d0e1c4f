#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/range_tracker.h"
#include "jpeg/jpeg_format.h"
#include "platform/mapped_file.h"

namespace tessel {

class MarkerList;
class MarkerVisitor;

// A mapped JPEG file split into marker segments. Each segment becomes a marker object that points
// into the mapping; everything from the end of the first SOS segment up to the final EOI is one
// block of entropy-coded data.
class JPEGReader : public MappedFile {
 public:
  // One marker segment: `payload` points at the byte after the length field, inside the mapping;
  // `length` is the length field minus 2 (negative for a corrupt field below 2). The subclasses
  // (one per known marker code) validate their payloads into plain contents and print them; the
  // decoder and the merge writer read those contents through a MarkerVisitor of their own.
  class Marker {
   public:
    Marker(uint8_t code, int32_t length, const uint8_t* payload)
        : code(code), length(length), payload(payload) {}
    virtual ~Marker() = default;
    Marker(const Marker&) = delete;
    Marker& operator=(const Marker&) = delete;

    // Validates the payload and claims the bytes the class understands. The base class claims
    // nothing, so the payloads of unknown segments stay unidentified.
    virtual void parse(RangeTracker& tracker);
    // Calls the visitor's visit for this class.
    virtual void accept(MarkerVisitor& visitor) const;
    // Lists the segment; offsets are printed relative to `base`. The base class prints a header
    // line and a hex dump of the payload.
    virtual void print(const uint8_t* base, int level, std::ostream& out) const;

    // File offsets of the segment's first byte (its 0xFF) and last byte, relative to `base`.
    int64_t firstByte(const uint8_t* base) const { return payload - base - 4; }
    int64_t lastByte(const uint8_t* base) const { return payload - base + length - 1; }

    const uint8_t code;
    const int32_t length;
    const uint8_t* const payload;
  };

  // Maps the file (throws the mapped-file messages); nothing is parsed yet.
  explicit JPEGReader(const std::string& fileName);
  ~JPEGReader();

  // (Re)builds `markers` and `tracker` from the whole file. Throws the segmentation and marker
  // messages; the list then holds the markers created so far.
  void parse();

  std::unique_ptr<MarkerList> markers;
  std::unique_ptr<RangeTracker> tracker;
};

struct MpEntry;

// An image that a file's multi-picture index places after the file's own image.
struct MpImage {
  // Where it lies: after the file's image inside the file, or not (outside the file, or over
  // bytes of the file's image or of another MP image).
  enum class Place : uint8_t { kInFile, kOutsideFile, kOverlapping };

  uint32_t number = 0;              // of its MP entry, from 1
  const MpEntry* entry = nullptr;   // in the index of the file's APP2 segment
  const uint8_t* buffer = nullptr;  // the start of the file
  int64_t start = 0;                // from `buffer`; may lie anywhere
  Place place = Place::kInFile;
  std::string problem;                  // why it is not listed as a JPEG; empty when it is
  std::unique_ptr<MarkerList> markers;  // its segments, when it is a JPEG

  // Its bytes, for an image that lies inside the file.
  const uint8_t* bytes() const { return buffer + start; }
};

// The segments of one JPEG stream, in stream order, and its entropy-coded data.
class MarkerList {
 public:
  std::vector<std::unique_ptr<JPEGReader::Marker>> items;
  const uint8_t* compressedData = nullptr;  // null when there is none
  uint32_t compressedLength = 0;
  const uint8_t* imageEnd = nullptr;  // one past the EOI, once segmented
  // The images after a file's own (not those of an image inside it), in MP entry order.
  std::vector<MpImage> mpImages;

  // Each marker's print, then the entropy-coded data length when there is any, then the images
  // after the file's own.
  void print(const uint8_t* base, int level, std::ostream& out) const;
};

// Creates the marker object of the class that handles `code`.
std::unique_ptr<JPEGReader::Marker> makeMarker(uint8_t code, int32_t length,
                                               const uint8_t* payload);

// The next marker code at `p`: zero bytes and 0xFF 0x00 pairs in front of it are skipped, and
// every byte read is claimed; a byte other than 0xFF in front of a code fails with "Missing marker
// prefix". `p` moves past the code.
uint8_t readMarkerCode(RangeTracker& tracker, const uint8_t*& p);
// The payload length that the length field at `p` gives (the field minus 2, negative for a field
// below 2), claimed; `p` moves past the field.
int32_t readSegmentLength(RangeTracker& tracker, const uint8_t*& p);

// Where the entropy-coded data after the first scan header ends: at the first EOI that
// findImageEnd reaches (the rule for a file and the images after it), or at the last 0xFF 0xD9
// pair of the buffer (the rule for an Exif thumbnail, whose stated length may hold more than one
// EOI). Either falls back to the last pair when the walk finds none.
enum class ImageEnd : bool { kFirstEoi, kLastEoi };

// A whole file: its segments (segment), then the images its multi-picture index places after
// its own, each one that lies after the file's image inside the buffer and is a JPEG segmented
// and claimed as a file is. An image that cannot be listed is noted with the reason and leaves
// its bytes unclaimed: it never fails the file.
void segmentFile(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length);

// Splits [data, data + length) into segments, appending them to `list` and claiming in `tracker`
// every byte the walk consumes. Used for whole files, for the images after them and for Exif
// thumbnails.
void segment(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length,
             ImageEnd rule = ImageEnd::kFirstEoi);

}  // namespace tessel
