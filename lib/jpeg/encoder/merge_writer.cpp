// The merge writer: re-encodes a PixelImage as a baseline sequential Huffman JPEG under the frame,
// sampling and quantization tables of a metadata-source JPEG, and writes the source's segments,
// in their order, around the new entropy-coded data. Its steps: the plan (merge_plan.cpp), the
// image fitted to the frame, the encoding, and the file assembled from the segments (with the
// Exif block and its thumbnail, exif_rewrite.cpp) and the MP images (mpf_rewrite.cpp).

#include <cstdlib>
#include <memory>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dri_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/mp_images.h"
#include "jpeg/messages.h"
#include "jpeg/segment_buffer.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"

namespace tessel {

namespace {

using CoefficientBuffer = std::unique_ptr<int16_t[], FreeDeleter>;

// The coefficients of the whole frame, refused with a clear message when they cannot be had.
CoefficientBuffer allocateCoefficients(const EncodeState& state) {
  const uint64_t count = uint64_t{state.blocksPerMcu} * state.mcuCount * 64;
  void* block = platform::allocateLargeBlock(count * sizeof(int16_t));
  if (!block) failf(msg::kImageTooLarge, state.width, state.height);
  return CoefficientBuffer(static_cast<int16_t*>(block));
}

// The image at the frame size: itself, or stretched to it (the aspect ratio is not kept) into
// `storage`, then padded or cropped to make up for the rounding of the fixed-point steps.
const PixelImage& fitToFrame(const PixelImage& image, const FramePlan& plan, PixelImage& storage) {
  if (image.width == plan.width && image.height == plan.height && image.pixels) return image;
  if (image.width == 0 || image.height == 0 || !image.pixels) {
    failf(msg::kResampleEmptySource, image.width, image.height);
  }
  const float scaleX = static_cast<float>(plan.width) / static_cast<float>(image.width);
  const float scaleY = static_cast<float>(plan.height) / static_cast<float>(image.height);
  ResampleJob::setUp(image, scaleX, scaleY, storage).run();
  if (storage.width != plan.width || storage.height != plan.height) {
    PixelImage padded;
    padOrCrop(storage, plan.width, plan.height, padded);
    storage = std::move(padded);
  }
  return storage;
}

// Each segment of the source in the form it takes in the output: DHT with the new tables, the
// Exif block rewritten, DRI dropped (the output has no restart markers), every other one copied.
// The offset of a multi-picture index's TIFF header in the output is noted for its rewrite.
class SegmentWriter : public MarkerVisitor {
 public:
  SegmentWriter(const EncodeState& state, const MergeInputs& inputs, const APP2Marker* mpf,
                SegmentBuffer& out)
      : state_(state), inputs_(inputs), mpf_(mpf), out_(out) {}

  void visit(const JPEGReader::Marker& marker) override {
    out_.appendSegment(marker.code, marker.payload, marker.length);
  }
  void visit(const DHTMarker& marker) override { writeDhtSegment(state_, marker.tables, out_); }
  void visit(const DRIMarker&) override {}
  void visit(const APP1Marker& marker) override { writeExifSegment(marker, inputs_, out_); }
  void visit(const APP2Marker& marker) override {
    if (&marker == mpf_) {
      mpfHeaderAt = out_.length() + 4 + static_cast<size_t>(mpf_->mpf->header - marker.payload);
    }
    visit(static_cast<const JPEGReader::Marker&>(marker));
  }

  size_t mpfHeaderAt = 0;

 private:
  const EncodeState& state_;
  const MergeInputs& inputs_;
  const APP2Marker* mpf_;
  SegmentBuffer& out_;
};

}  // namespace

void encodeImage(EncodeState& state, const PixelImage& image, const Background& background) {
  PixelImage storage;
  const PixelImage& fitted = fitToFrame(image, state, storage);
  const CoefficientBuffer coefficients = allocateCoefficients(state);
  transformImage(state, fitted, coefficients.get(), background);
  encodeScan(state, coefficients.get());
}

std::vector<uint8_t> assembleFile(EncodeState& state, const MarkerList& source,
                                  const MergeInputs& inputs, ImageRole role) {
  SegmentBuffer segments(1024);
  segments.append(0xFF);
  segments.append(kCodeSoi);
  // A file's multi-picture index is copied with the other segments, and rewritten once the images
  // after it are in place.
  const APP2Marker* mpf = role == ImageRole::kMain ? mpfSegment(source) : nullptr;
  SegmentWriter writer(state, inputs, mpf, segments);
  visitMarkers(source, writer);
  std::vector<uint8_t> file = std::move(segments.bytes());
  file.reserve(file.size() + state.scanData.size() + 2);
  file.insert(file.end(), state.scanData.begin(), state.scanData.end());
  state.scanData = {};
  file.push_back(0xFF);
  file.push_back(kCodeEoi);
  if (mpf) appendMpImages(file, writer.mpfHeaderAt, *mpf->mpf, source, inputs);
  return file;
}

std::vector<uint8_t> encodeJpegFile(const PixelImage& image, const MarkerList& source,
                                    const PropertyList& overrides, const Background& background,
                                    ImageRole role) {
  EncodeState state;
  if (role == ImageRole::kNested) state.redefinition = Redefinition::kReplaces;
  planMerge(state, source);
  encodeImage(state, image, background);
  return assembleFile(state, source, MergeInputs{image, overrides, background}, role);
}

void writeJpegFile(OutputFile& output, const PixelImage& image, const MarkerList& source,
                   const PropertyList& overrides, const Background& background) {
  // Everything is built before the file is touched: a failing merge leaves an existing output as
  // it was.
  const std::vector<uint8_t> file = encodeJpegFile(image, source, overrides, background);
  output.replaceContents(file.data(), file.size());
}

}  // namespace tessel
