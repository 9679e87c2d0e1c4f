#pragma once

// The contents of the frame, table and scan headers, each read once from its segment by its
// marker class and then used by the listing, the decoder set-up and the merge writer alike.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessel {

// SOFn: the frame.
struct FrameComponent {
  uint8_t id = 0;
  uint8_t h = 1, v = 1;  // sampling factors
  uint8_t quantTable = 0;
};
struct FrameHeader {
  uint8_t code = 0;  // the SOF marker code, which names the coding process
  uint8_t precision = 0;
  uint16_t height = 0, width = 0;
  std::vector<FrameComponent> components;
  bool exactLength = false;  // the segment holds nothing after its component entries
};

// DQT: one quantization table.
struct QuantizationTable {
  uint8_t precisionAndIndex = 0;      // Pq << 4 | Tq, as stored
  std::array<uint16_t, 64> values{};  // natural (row-major) order
  uint32_t index() const { return precisionAndIndex & 15u; }
  // Two-byte values (Pq = 1); any other precision field reads one byte each.
  bool wide() const { return (precisionAndIndex & 0x10) != 0; }
};
// The tables defined so far, by table number.
using QuantizationTables = std::array<std::optional<QuantizationTable>, 4>;
// How a table number that is defined a second time is taken: refused, or, as JPEG defines it, the
// later definition replacing the earlier (the rule for images nested in a file, such as the Exif
// thumbnail, which must never stop the file's own picture).
enum class Redefinition : bool { kRefused, kReplaces };
// Adds a table under its number: "Invalid quantization table index" for a number above 3,
// "Duplicate quantization table index" for a number defined already when that is refused.
void defineQuantizationTable(QuantizationTables& defined, const QuantizationTable& table,
                             Redefinition redefinition = Redefinition::kRefused);

// DHT: one Huffman table as the segment defines it.
struct HuffmanTableSpec {
  uint8_t classAndIndex = 0;         // Tc << 4 | Th, as stored; class 0 is DC, 1 is AC
  std::array<uint8_t, 16> counts{};  // codes of each length from 1 bit on
  const uint8_t* symbols = nullptr;  // the symbols in code order, inside the segment
  uint32_t symbolCount = 0;
  uint32_t index() const { return classAndIndex & 15u; }
  bool isAc() const { return (classAndIndex & 0x10) != 0; }
  // Class 0 or 1 and a number of 3 or less ("Invalid Huffman table ID" otherwise).
  bool hasValidId() const { return classAndIndex <= 0x13 && index() <= 3; }
};

// SOS: the scan.
struct ScanComponent {
  uint8_t id = 0;
  uint8_t dcTable = 0, acTable = 0;
};
struct ScanHeader {
  std::vector<ScanComponent> components;
  uint8_t ss = 0, se = 0;  // spectral selection
  uint8_t ah = 0, al = 0;  // successive approximation, high and low bit
  bool exactLength = false;
};

}  // namespace tessel
