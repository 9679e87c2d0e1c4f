#include "jpeg/markers/marker_visitor.h"

#include "jpeg/markers/app0_marker.h"
#include "jpeg/markers/app12_marker.h"
#include "jpeg/markers/app13_marker.h"
#include "jpeg/markers/app14_marker.h"
#include "jpeg/markers/app1_marker.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/com_marker.h"
#include "jpeg/markers/dht_marker.h"
#include "jpeg/markers/dqt_marker.h"
#include "jpeg/markers/dri_marker.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"

namespace tessel {

void MarkerVisitor::visit(const APP0Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const APP1Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const APP2Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const APP12Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const APP13Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const APP14Marker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const COMMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const DHTMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const DQTMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const DRIMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const SOFMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}
void MarkerVisitor::visit(const SOSMarker& marker) {
  visit(static_cast<const JPEGReader::Marker&>(marker));
}

void visitMarkers(const MarkerList& list, MarkerVisitor& visitor) {
  for (const auto& marker : list.items) marker->accept(visitor);
}

}  // namespace tessel
