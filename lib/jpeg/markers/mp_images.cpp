#include "jpeg/markers/mp_images.h"

#include "core/exception.h"
#include "core/range_tracker.h"
#include "core/text.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/markers/app2_marker.h"

namespace tessel {

namespace {

constexpr char kOutsideFile[] = "outside the file";
constexpr char kOverlapping[] = "overlaps another image";
constexpr char kNotJpeg[] = "not a JPEG";

// Segments the image at [p, p + size) when it is a JPEG, first with a tracker of its own, so that
// an image that fails claims nothing in the file's tracker. Returns the reason when it is not.
std::string segmentMpImage(MpImage& image, RangeTracker& tracker, const uint8_t* p, int64_t size) {
  if (size < 2 || p[0] != 0xFF || p[1] != kCodeSoi) return kNotJpeg;
  const auto length = static_cast<int32_t>(size);
  try {
    MarkerList trial;
    RangeTracker own(p, length);
    segment(trial, own, p, length, ImageEnd::kFirstEoi);
  } catch (const RawLayerException& e) {
    return std::string(kNotJpeg) + " (" + e.message() + ")";
  }
  // Its bytes are unclaimed in the file's tracker too, so the same walk succeeds there.
  image.markers = std::make_unique<MarkerList>();
  BoundGuard bound(tracker, p, size);
  segment(*image.markers, tracker, p, length, ImageEnd::kFirstEoi);
  return "";
}

}  // namespace

const APP2Marker* mpfSegment(const MarkerList& list) {
  for (const auto& marker : list.items) {
    // The factory makes an APP2Marker of every APP2 segment.
    if (marker->code != kCodeApp2) continue;
    const auto& app2 = static_cast<const APP2Marker&>(*marker);
    if (app2.mpf) return &app2;
  }
  return nullptr;
}

void findMpImages(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length) {
  const APP2Marker* app2 = mpfSegment(list);
  if (!app2 || !list.imageEnd) return;
  const MpfIndex& index = *app2->mpf;
  // The ranges taken so far, the file's own image first.
  std::vector<std::pair<int64_t, int64_t>> taken = {{0, list.imageEnd - data}};
  for (size_t i = 1; i < index.entries.size(); ++i) {
    const MpEntry& entry = index.entries[i];
    MpImage& image = list.mpImages.emplace_back();
    image.number = static_cast<uint32_t>(i + 1);
    image.entry = &entry;
    image.buffer = data;
    image.start = (index.header - data) + int64_t{entry.offset};
    const int64_t end = image.start + int64_t{entry.size};
    if (image.start < 0 || end > length) {
      image.place = MpImage::Place::kOutsideFile;
      image.problem = kOutsideFile;
      continue;
    }
    bool overlaps = false;
    for (const auto& [first, last] : taken) overlaps |= image.start < last && first < end;
    if (overlaps || !tracker.isUnclaimed(data + image.start, entry.size)) {
      image.place = MpImage::Place::kOverlapping;
      image.problem = kOverlapping;
      continue;
    }
    taken.emplace_back(image.start, end);
    image.problem = segmentMpImage(image, tracker, data + image.start, entry.size);
  }
}

void printMpImage(const MpImage& image, const uint8_t* base, int level, std::ostream& out) {
  const int64_t first = (image.buffer - base) + image.start;
  indent(level, out);
  writef(out, "MP image %u, %s (bytes %lld - %lld):", image.number, mpTypeName(image.entry->type()),
         static_cast<long long>(first),
         static_cast<long long>(first + int64_t{image.entry->size} - 1));
  if (!image.problem.empty()) {
    writef(out, " %s\n", image.problem.c_str());
    return;
  }
  out << '\n';
  image.markers->print(base, level + 1, out);
}

void segmentFile(MarkerList& list, RangeTracker& tracker, const uint8_t* data, int32_t length) {
  segment(list, tracker, data, length, ImageEnd::kFirstEoi);
  findMpImages(list, tracker, data, length);
}

}  // namespace tessel
