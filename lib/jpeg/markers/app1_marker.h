#pragma once

#include <memory>
#include <string>

#include "exif/tiff_directory.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/marker_visitor.h"

namespace tessel {

// APP1: an Exif block (TIFF directories and the embedded thumbnail JPEG) or an XMP packet; any
// other APP1 payload is claimed whole and listed in hex.
class APP1Marker : public JPEGReader::Marker {
 public:
  using Marker::Marker;
  void accept(MarkerVisitor& visitor) const override { visitor.visit(*this); }
  ~APP1Marker() override;

  void parse(RangeTracker& tracker) override;
  void print(const uint8_t* base, int level, std::ostream& out) const override;

  // The Exif block's directories; null for a segment without Exif.
  std::unique_ptr<TIFFDirectory> directories;
  // The segments of the Exif thumbnail; null when there is none or it could not be segmented.
  std::unique_ptr<MarkerList> thumbnail;
  // Whether the segment holds an XMP packet. The packet is decoded into text only when it is
  // printed (a listing of "Finished parsing" lines alone never needs it): `xmpText`.
  bool hasXmp = false;
  std::string xmpText() const;
};

// The 29-byte signature that starts an XMP packet in APP1 (28 characters and a zero byte).
inline constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";
inline constexpr size_t kXmpSignatureSize = sizeof kXmpSignature;

// Decodes an XMP packet from UTF-8: stops at the first byte that cannot continue the text,
// removes trailing blanks, CRs and LFs before each line feed (so empty lines collapse), and keeps
// every code point whole, as UTF-8.
std::string decodeXmpText(const uint8_t* bytes, size_t length);

}  // namespace tessel
