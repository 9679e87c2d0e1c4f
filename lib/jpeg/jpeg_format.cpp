#include "jpeg/jpeg_format.h"

#include <string>

#include "core/exception.h"
#include "jpeg/messages.h"

namespace tessel {

namespace {

struct Process {
  const char* listing;
  const char* description;
};

// By frame marker code - 0xC0; the rows of DHT, JPG and DAC name no process.
constexpr Process kProcesses[16] = {
    {"Baseline DCT Huffman", "Baseline"},
    {"Extended sequential DCT Huffman", "Extended sequential"},
    {"Progressive DCT Huffman", "Progressive"},
    {"Lossless (sequential) Huffman", "Lossless"},
    {"???", "???"},
    {"Differential sequential DCT Huffman", "Differential sequential"},
    {"Differential progressive DCT Huffman", "Differential progressive"},
    {"Differential lossless (sequential) Huffman", "Differential lossless"},
    {"???", "???"},
    {"Extended sequential DCT arithmetic", "Extended sequential arithmetic"},
    {"Progressive DCT arithmetic", "Progressive arithmetic"},
    {"Lossless (sequential) arithmetic", "Lossless arithmetic"},
    {"???", "???"},
    {"Differential sequential DCT arithmetic", "Differential sequential arithmetic"},
    {"Differential progressive DCT arithmetic", "Differential progressive arithmetic"},
    {"Differential lossless (sequential) arithmetic", "Differential lossless arithmetic"},
};

struct Geometry {
  uint32_t lumaH, lumaV;
  uint32_t mcuWidth, mcuHeight, blocks;
  const char* name;
};

// By mode - 1.
constexpr Geometry kGeometry[5] = {
    {1, 1, 8, 8, 3, "1x1"},   {2, 1, 16, 8, 4, "1x2"}, {1, 2, 8, 16, 4, "2x1"},
    {2, 2, 16, 16, 6, "2x2"}, {1, 1, 8, 8, 1, "gray"},
};

bool is(const SlotSampling& slot, uint32_t h, uint32_t v) {
  return slot.h == h && slot.v == v;
}

}  // namespace

const char* processListingName(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF ? kProcesses[code - 0xC0].listing : "???";
}

const char* processDescriptionName(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF ? kProcesses[code - 0xC0].description : "???";
}

const char* samplingName(SamplingMode mode) {
  return kGeometry[static_cast<int>(mode) - 1].name;
}

ComponentSlots::ComponentSlots(std::span<const FrameComponent> frame) {
  for (const FrameComponent& c : frame) ids_.push_back(c.id);
  bool distinct = true, zero = false;
  for (size_t i = 0; i < ids_.size(); ++i) {
    zero |= ids_[i] == 0;
    for (size_t k = 0; k < i; ++k) distinct &= ids_[k] != ids_[i];
  }
  byPosition_ = (ids_.size() == 1 || ids_.size() == 3) && distinct && zero;
}

uint32_t ComponentSlots::frameSlot(size_t position) const {
  const uint8_t id = ids_[position];
  return byPosition_ || id >= 4 ? static_cast<uint32_t>(position + 1) : id;
}

uint32_t ComponentSlots::scanSlot(uint8_t id, size_t position) const {
  if (!byPosition_) return id < 4 ? id : static_cast<uint32_t>(position + 1);
  for (size_t i = 0; i < ids_.size(); ++i) {
    if (ids_[i] == id) return static_cast<uint32_t>(i + 1);
  }
  return 4;
}

FrameGeometry planFrame(const SlotLayout& slots, uint32_t width, uint32_t height) {
  int mode = 0;
  if (!slots[0].present && slots[1].present) {
    if (slots[2].present && slots[3].present) {
      if (is(slots[2], 1, 1) && is(slots[3], 1, 1)) {
        for (int m = 1; m <= 4; ++m) {
          if (is(slots[1], kGeometry[m - 1].lumaH, kGeometry[m - 1].lumaV)) mode = m;
        }
      }
    } else if (!slots[2].present && !slots[3].present && is(slots[1], 1, 1)) {
      mode = 5;
    }
  }
  if (mode == 0) {
    std::string text = msg::kUnsupportedSamplingOpen;
    for (int i = 0; i < 4; ++i) {
      if (!slots[i].present) continue;
      text += formatText(msg::kUnsupportedSamplingComponent, i, static_cast<int>(slots[i].h),
                         static_cast<int>(slots[i].v));
    }
    fail(text + msg::kUnsupportedSamplingClose);
  }
  const Geometry& g = kGeometry[mode - 1];
  FrameGeometry frame;
  frame.samplingMode = static_cast<SamplingMode>(mode);
  frame.mcuWidth = g.mcuWidth;
  frame.mcuHeight = g.mcuHeight;
  frame.blocksPerMcu = g.blocks;
  frame.mcusPerRow = (width + g.mcuWidth - 1) / g.mcuWidth;
  frame.mcuRows = (height + g.mcuHeight - 1) / g.mcuHeight;
  frame.mcuCount = frame.mcusPerRow * frame.mcuRows;
  return frame;
}

McuLayout mcuLayoutOf(const SlotLayout& slots) {
  McuLayout layout;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    if (!slots[slot].present) continue;
    layout.offset[slot] = static_cast<uint8_t>(layout.blocks);
    layout.present[slot] = true;
    for (uint32_t i = 0; i < slots[slot].h * slots[slot].v && layout.blocks < 6; ++i) {
      layout.slot[layout.blocks++] = static_cast<uint8_t>(slot);
    }
  }
  return layout;
}

}  // namespace tessel
