#include "jpeg/frame_plan.h"

namespace tessel {

namespace {

ComponentPlan& componentAt(FramePlan& plan, uint32_t slot) {
  if (!plan.components[slot]) plan.components[slot].emplace();
  return *plan.components[slot];
}

}  // namespace

void FramePlan::applyFrame(const FrameHeader& frame) {
  height = frame.height;
  width = frame.width;
  slots = ComponentSlots(frame.components);
  for (size_t i = 0; i < frame.components.size(); ++i) {
    const uint32_t slot = slots.frameSlot(i);
    if (slot >= 4) continue;
    ComponentPlan& component = componentAt(*this, slot);
    component.h = frame.components[i].h;
    component.v = frame.components[i].v;
    component.quantIndex = frame.components[i].quantTable;
  }
}

void FramePlan::applyScan(const ScanHeader& scan) {
  for (auto& component : components) {
    if (!component) continue;
    component->dcIndex = -1;
    component->acIndex = -1;
    component->inScan = false;
  }
  for (size_t i = 0; i < scan.components.size(); ++i) {
    const ScanComponent& entry = scan.components[i];
    const uint32_t slot = slots.scanSlot(entry.id, i);
    if (slot >= 4) continue;
    ComponentPlan& component = componentAt(*this, slot);
    component.dcIndex = entry.dcTable;
    component.acIndex = entry.acTable;
    component.inScan = true;
  }
}

SlotLayout FramePlan::layout() const {
  SlotLayout result;
  for (size_t i = 0; i < 4; ++i) {
    if (components[i]) result[i] = {true, components[i]->h, components[i]->v};
  }
  return result;
}

void FramePlan::planGeometry() {
  static_cast<FrameGeometry&>(*this) = planFrame(layout(), width, height);
}

}  // namespace tessel
