// The front of the decoder: each marker segment configures a fresh DecoderState, the frame is
// checked, the coding description is recorded, and the entropy-coded data goes to the baseline
// or the progressive pass.

#include <cstring>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "jpeg/coded_data.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/markers/app0_marker.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dqt_marker.h"
#include "jpeg/markers/dri_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

void applySof(DecoderState& state, PixelImage& image, const FrameHeader& frame) {
  state.frameMarker = frame.code;
  state.precision = frame.precision;
  if (state.precision != 8 && state.precision != 16) {
    failf(msg::kUnsupportedPrecision, state.precision);
  }
  image.height = frame.height;
  image.width = frame.width;

  const auto count = static_cast<uint32_t>(frame.components.size());
  if (count != 1 && count != 3 && count != 4) failf(msg::kUnsupportedComponentCount, count);
  // Pixel-format codes in the GDI+ PixelFormat code space: greyscale, 24-bit RGB and 32-bit
  // ARGB for 8-bit samples; 16-bit greyscale, 48-bit RGB and 64-bit ARGB for 16-bit samples.
  uint32_t format = 0;
  if (count == 1) format = state.precision == 8 ? 0x803 : 0x101004;
  if (count == 3) format = state.precision == 8 ? 0x21808 : 0x10300C;
  if (count == 4) format = state.precision == 8 ? 0x26200A : 0x34400D;
  setLong(image.properties, kTagPixelFormat, format);
  state.applyFrame(frame);
}

void applySos(DecoderState& state, const ScanHeader& scan) {
  state.scan.componentCount = static_cast<uint32_t>(scan.components.size());
  state.applyScan(scan);
  // In a lossless frame these bytes are the predictor and the point transform, not spectral
  // endpoints (Se is always 0 there); such a frame is refused with the mode message instead.
  const bool lossless = isSofCode(state.frameMarker) && (state.frameMarker & 3) == 3;
  if (!lossless && (scan.ss > scan.se || scan.se >= 64)) fail(msg::kInvalidSpectral);
  state.scan.ss = scan.ss;
  state.scan.se = scan.se;
  state.scan.ah = scan.ah;
  state.scan.al = scan.al;
  if (state.scan.ah != 0 && state.scan.ah != state.scan.al + 1) fail(msg::kSingleBitRefinement);
}

// What each segment tells the decoder: its frame, tables and scan, the image's resolution and
// descriptive Exif properties, and the frame facts of an Exif thumbnail. Other segments tell
// nothing.
class DecoderSetUp : public MarkerVisitor {
 public:
  DecoderSetUp(DecoderState& state, PixelImage& image) : state_(state), image_(image) {}

  void visit(const JPEGReader::Marker&) override {}
  void visit(const APP0Marker& marker) override {
    const JfifHeader& jfif = marker.jfif;
    if (jfif.units != 1 && jfif.units != 2) return;  // 0: aspect ratio only
    setShort(image_.properties, kTagResolutionUnit, jfif.units);
    setRational(image_.properties, kTagXResolution, jfif.xDensity, 1);
    setRational(image_.properties, kTagYResolution, jfif.yDensity, 1);
  }
  void visit(const APP1Marker& marker) override {
    if (marker.directories) marker.directories->applyToImage(marker.directories->bigEndian, image_);
    if (!marker.thumbnail) return;
    if (!image_.thumbnail) image_.thumbnail = std::make_unique<PixelImage>();
    try {
      decodeThumbnailInfo(*marker.thumbnail, *image_.thumbnail);
    } catch (const RawLayerException&) {
      // A thumbnail that cannot be examined never stops the picture: it is left out.
      image_.thumbnail.reset();
    }
  }
  void visit(const DQTMarker& marker) override {
    for (const QuantizationTable& table : marker.tables) {
      defineQuantizationTable(state_.quantTables, table, state_.redefinition);
    }
  }
  void visit(const SOFMarker& marker) override { applySof(state_, image_, marker.frame); }
  void visit(const DHTMarker& marker) override {
    for (const HuffmanTableSpec& table : marker.tables) {
      if (!table.hasValidId()) fail(msg::kInvalidHuffmanId);
      auto lookup = std::make_shared<HuffmanLookup>();
      buildHuffmanLookup(*lookup, table);
      (table.isAc() ? state_.scan.acTables : state_.scan.dcTables)[table.index()] =
          std::move(lookup);
    }
  }
  void visit(const SOSMarker& marker) override { applySos(state_, marker.scan); }
  void visit(const DRIMarker& marker) override { state_.scan.restartInterval = marker.interval; }

 private:
  DecoderState& state_;
  PixelImage& image_;
};

}  // namespace

void applyToDecoder(DecoderState& state, PixelImage& image, const JPEGReader::Marker& marker) {
  DecoderSetUp setUp(state, image);
  marker.accept(setUp);
}

void deriveSampling(DecoderState& state) {
  state.planGeometry();
}

void scaleQuantTables(DecoderState& state) {
  for (size_t t = 0; t < 4; ++t) {
    if (!state.quantTables[t]) continue;
    for (size_t i = 0; i < 64; ++i) {
      state.dequantize[t][i] = static_cast<float>(state.quantTables[t]->values[i]) * kIdctScale[i];
    }
  }
}

void bindQuantTable(DecoderState& state, uint32_t slot) {
  const uint32_t quantIndex = state.components[slot]->quantIndex;
  if (quantIndex > 3 || !state.quantTables[quantIndex]) fail(msg::kMissingQuantTable);
  state.bound[slot].dequantize = state.dequantize[quantIndex].data();
}

void decodeImage(const MarkerList& markers, DecoderState& state, PixelImage& image, bool infoOnly) {
  DecoderSetUp setUp(state, image);
  visitMarkers(markers, setUp);
  if (!markers.compressedData) fail(msg::kNoCompressedData);
  deriveSampling(state);

  const std::string description = std::string(processDescriptionName(state.frameMarker)) + " " +
                                  samplingName(state.samplingMode);
  setCompressionMode(image.properties, description.c_str());

  image.pixels.reset();
  if (infoOnly) return;
  if (state.frameMarker != kCodeSof0 && state.frameMarker != kCodeSof2) {
    failf(msg::kUnsupportedMode, state.frameMarker - 0xC0);
  }
  // Nothing of the frame's size is allocated before its data has been found long enough for it.
  std::vector<ComponentSampling> sampling;
  for (const auto& component : state.components) {
    if (component) sampling.push_back({component->h, component->v});
  }
  requireCodedDataFor(state.width, state.height, sampling, markers.compressedLength);
  if (state.frameMarker == kCodeSof0) {
    decodeBaseline(state, image, markers.compressedData, markers.compressedLength);
  } else {
    decodeProgressive(state, image, markers.compressedData, markers.compressedLength);
  }
}

void decodeJpegImage(const MarkerList& markers, PixelImage& image, const DecodeOptions& options) {
  DecoderState state;
  state.redefinition = options.redefinition;
  state.input = options.input;
  state.keepPixels = options.pixels == PixelSink::kImage;
  decodeImage(markers, state, image, false);
}

void decodeThumbnailInfo(const MarkerList& thumbnail, PixelImage& thumbnailImage) {
  DecoderState state;
  state.redefinition = Redefinition::kReplaces;
  decodeImage(thumbnail, state, thumbnailImage, true);
}

}  // namespace tessel
