#pragma once

// Builds Nikon NEF files for tests: a big-endian TIFF with a preview IFD0, a raw SubIFD
// (NewSubfileType 0), an Exif IFD with a Nikon maker note holding the decoder parameters (tag
// 150), and raw samples in Nikon lossless coding. Every part can be changed before the file is
// written, so tests can damage exactly one thing.
//
// Only the standard library is used here (no test framework), so benchmarks can build fixtures
// with the same code.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace tessel::test {

// ---------------------------------------------------------------------------------------------
// Big-endian TIFF layout.

// A LONG value that is the file position of a named directory or blob, plus `delta`.
struct TiffRef {
  std::string target;
  uint32_t delta = 0;
};

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  Bytes data;                     // big-endian value bytes; placed out of line when over 4 bytes
  std::vector<TiffRef> refs;      // when not empty: the values are positions (type LONG)
  std::optional<uint32_t> field;  // when set: the value field verbatim, and no data written

  static TiffEntry ascii(uint16_t tag, const std::string& text);  // count includes the zero byte
  static TiffEntry shorts(uint16_t tag, const std::vector<uint16_t>& values);
  static TiffEntry longs(uint16_t tag, const std::vector<uint32_t>& values);
  static TiffEntry rational(uint16_t tag, uint32_t numerator, uint32_t denominator);
  // `data` as values of `type`; the count is the number of whole values in it.
  static TiffEntry raw(uint16_t tag, uint16_t type, const Bytes& data);
  static TiffEntry positions(uint16_t tag, const std::vector<TiffRef>& refs);
};

struct TiffDirectory {
  std::string name;
  std::vector<TiffEntry> entries;     // written in this order
  std::string next;                   // the next directory of the chain, or none
  std::optional<uint32_t> nextField;  // when set: the link verbatim

  TiffEntry* find(uint16_t tag);
  // Replaces the entry with the same tag, or inserts the entry in tag order.
  TiffEntry& set(const TiffEntry& entry);
  void remove(uint16_t tag);
};

struct TiffBlob {
  std::string name;
  Bytes bytes;
};

class TiffFile {
 public:
  Bytes header = {'M', 'M', 0, 42};
  std::optional<uint32_t> firstField;  // when set: the first-IFD offset verbatim
  std::vector<TiffDirectory>
      directories;              // after the header in this order; the first starts the chain
  std::vector<TiffBlob> blobs;  // after the directories; the last one ends the file

  TiffDirectory& directory(const std::string& name);
  TiffBlob& blob(const std::string& name);
  Bytes serialize() const;
};

// ---------------------------------------------------------------------------------------------
// Raw samples and Nikon coding.

enum class CfaLayout { kRGGB, kBGGR, kGRBG, kGBRG };
inline constexpr CfaLayout kAllCfaLayouts[] = {CfaLayout::kRGGB, CfaLayout::kBGGR, CfaLayout::kGRBG,
                                               CfaLayout::kGBRG};
const char* cfaName(CfaLayout layout);
// The CFAPattern bytes, row-major over the 2 x 2 block: 0 red, 1 green, 2 blue.
Bytes cfaPatternBytes(CfaLayout layout);
// The colour (0 red, 1 green, 2 blue) of the site at (x, y).
int cfaColour(CfaLayout layout, uint32_t x, uint32_t y);

struct RawSamples {
  uint32_t width = 0;
  uint32_t rows = 0;
  std::vector<uint16_t> values;  // row-major

  uint16_t at(uint32_t x, uint32_t y) const { return values[size_t{y} * width + x]; }
  uint16_t& at(uint32_t x, uint32_t y) { return values[size_t{y} * width + x]; }
};

// A smooth scene with sensor-like noise, every sample below 2^bits; the same `seed` gives the
// same samples.
RawSamples syntheticSamples(uint32_t width, uint32_t rows, unsigned bits, uint32_t seed);

using NikonSeeds = std::array<std::array<uint16_t, 2>, 2>;  // v[row parity][column]

// Nikon lossless coding of `samples` with the 14-bit code table when `bits` is 14 and the 12-bit
// table otherwise. Throws std::invalid_argument when a difference does not fit the table.
Bytes encodeNikonLossless(const RawSamples& samples, unsigned bits, const NikonSeeds& seeds);

// The decoder parameters of maker-note tag 150: version 0x46, a second version byte, the four
// seeds and a 16-bit curve size of 0.
Bytes nikonDecoderParameters(const NikonSeeds& seeds, uint8_t version = 0x46,
                             uint8_t version2 = 0x30);

// ---------------------------------------------------------------------------------------------
// Whole files.

struct NefOptions {
  unsigned bitsPerSample = 12;
  CfaLayout cfa = CfaLayout::kRGGB;
  uint32_t strips = 1;  // every strip decodes the one coded stream at the end of the file
  NikonSeeds seeds = {{{2048, 2048}, {2048, 2048}}};
};

// Directories "ifd0" (preview, NewSubfileType 1), "raw" (NewSubfileType 0), "exif"; blobs
// "preview" and "strip" (the coded samples, last in the file); the maker note's directory
// "nikon" holds tags 1 (version) and 150 (decoder parameters).
struct NefFile {
  TiffFile tiff;
  TiffFile makerNote;
  Bytes makerNotePrefix = {'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0};
  bool withMakerNote = true;

  // The bytes with the maker note placed into the Exif MakerNote entry.
  Bytes serialize() const;
};

// A NEF with `options.strips` strips of `samples.rows` rows each, all decoding `samples`.
NefFile makeNef(const RawSamples& samples, const NefOptions& options = {});

}  // namespace tessel::test
