#pragma once

// The plan of a frame that the decoder and the merge writer both work from: which slot each
// component occupies (ComponentSlots), its sampling factors and the tables the frame and the
// current scan link it to, the sampling mode and the MCU geometry. It is built by one set of
// functions from the frame and scan headers in stream order, whoever reads them.

#include <array>
#include <cstdint>
#include <optional>

#include "jpeg/jpeg_format.h"
#include "jpeg/segment_headers.h"

namespace tessel {

// One image component of the frame, in its slot.
struct ComponentPlan {
  uint32_t h = 1;  // sampling factors from the frame header
  uint32_t v = 1;
  uint32_t quantIndex = 0;  // Tq from the frame header
  // Huffman table numbers from the current scan header; -1 when the scan leaves it out.
  int32_t dcIndex = 0;
  int32_t acIndex = 0;
  bool inScan = false;
};

// The MCU geometry is set by planGeometry.
struct FramePlan : FrameGeometry {
  std::array<std::optional<ComponentPlan>, 4> components;  // by slot
  ComponentSlots slots;                                    // of the last frame header
  uint32_t width = 0;                                      // samples per line
  uint32_t height = 0;                                     // lines; 0 before any frame header

  // A frame header: its components take their slots (a slot of 4 or more is not used), created
  // when absent, with their sampling factors and quantization table.
  void applyFrame(const FrameHeader& frame);
  // A scan header: every component leaves the scan, then those it names (by the slot rule of the
  // frame) join it with their Huffman tables, created when absent.
  void applyScan(const ScanHeader& scan);
  // The present slots and their sampling factors.
  SlotLayout layout() const;
  // Checks the layout and sets the MCU geometry; throws the "Unsupported sampling (" message.
  void planGeometry();
};

}  // namespace tessel
