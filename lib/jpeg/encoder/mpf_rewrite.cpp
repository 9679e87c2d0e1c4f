// The images after a merged file's own, for a metadata source with a multi-picture index: the
// source's MP images in entry order, large thumbnails made anew from the merged image under their
// own structure and the others copied, and the index's sizes and offsets rewritten in place.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/byte_order.h"
#include "core/exception.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/jpeg_format.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/mpf_index.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

// The bytes of one MP image in the output.
std::vector<uint8_t> mpImageBytes(const MpImage& mp, const MergeInputs& inputs) {
  if (mp.place != MpImage::Place::kInFile) failf(msg::kMergeMpImageOutside, mp.number);
  if (!mp.entry->isPreview()) return {mp.bytes(), mp.bytes() + mp.entry->size};
  // A preview shows the picture: it is encoded as the Exif thumbnail is, at its own frame size,
  // with its own tables and segments.
  const bool baseline =
      mp.markers && std::any_of(mp.markers->items.begin(), mp.markers->items.end(),
                                [](const auto& m) { return m->code == kCodeSof0; });
  if (!baseline) failf(msg::kMergeMpPreview, mp.number);
  return encodeJpegFile(inputs.image, *mp.markers, inputs.overrides, inputs.background,
                        ImageRole::kNested);
}

}  // namespace

void appendMpImages(std::vector<uint8_t>& file, size_t headerAt, const MpfIndex& index,
                    const MarkerList& source, const MergeInputs& inputs) {
  // MP entries are rewritten where they stand in the output's copy of the index.
  const auto entryAt = [&](const MpEntry& e) {
    return file.data() + headerAt + static_cast<size_t>(e.field - index.header);
  };
  if (!index.entries.empty()) {
    write32(entryAt(index.entries[0]) + 4, static_cast<uint32_t>(file.size()), index.bigEndian);
  }
  for (const MpImage& mp : source.mpImages) {
    const std::vector<uint8_t> bytes = mpImageBytes(mp, inputs);
    const auto offset = static_cast<uint32_t>(file.size() - headerAt);
    file.insert(file.end(), bytes.begin(), bytes.end());
    write32(entryAt(*mp.entry) + 4, static_cast<uint32_t>(bytes.size()), index.bigEndian);
    write32(entryAt(*mp.entry) + 8, offset, index.bigEndian);
  }
}

}  // namespace tessel
