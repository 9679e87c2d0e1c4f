#pragma once

// The JPEG decoder's entry points: decoding a segmented stream into a PixelImage, and the
// per-marker set-up steps that the marker classes' applyToDecoder operations call.

#include <cstdint>
#include <vector>

#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/segment_headers.h"

namespace tessel {

class MappedFile;
class MarkerList;
class PixelImage;
struct DecoderState;

// Lets every marker of `markers` configure `state`, validates the frame, records the coding
// description, and unless `infoOnly` decodes the entropy-coded data into `image`.
void decodeImage(const MarkerList& markers, DecoderState& state, PixelImage& image, bool infoOnly);

// Where the decoded pixels go: into the image's pixel block (the whole picture), or through one
// MCU at a time of a buffer that is reused and read by nobody, which is what a decode report
// needs: every pixel is still computed with the same arithmetic, and the image gets its size and
// properties but no pixels.
enum class PixelSink : bool { kImage, kDiscarded };

// How a decode reads its input and where its pixels go.
struct DecodeOptions {
  // How a quantization table number defined twice is taken: kReplaces for an image nested in a
  // file, as its Exif thumbnail or an MP preview.
  Redefinition redefinition = Redefinition::kRefused;
  // The mapped file that the entropy-coded data lies in, if any: its pages are handed back as the
  // decode reads past them, so that a large file does not stay in memory beside the image.
  const MappedFile* input = nullptr;
  PixelSink pixels = PixelSink::kImage;
};

// Decodes a segmented JPEG into `image` with a fresh decoder state (released on every path).
void decodeJpegImage(const MarkerList& markers, PixelImage& image,
                     const DecodeOptions& options = {});

// Collects an Exif thumbnail's frame facts (size, pixel format, description, resolution) into
// `thumbnailImage` with a fresh decoder state, in info-only mode.
void decodeThumbnailInfo(const MarkerList& thumbnail, PixelImage& thumbnailImage);

// Lets one segment configure the decoder (the segments between progressive scans).
void applyToDecoder(DecoderState& state, PixelImage& image, const JPEGReader::Marker& marker);

}  // namespace tessel
