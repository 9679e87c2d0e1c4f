#pragma once

// The one dispatch over marker classes that readers of a marker list use: each visit gets the
// class with its parsed contents, and the segments without a class of their own (and every class
// a visitor does not override) reach the visit of the base class.

#include "jpeg/markers/jpeg_reader.h"

namespace tessel {

class APP0Marker;
class APP1Marker;
class APP2Marker;
class APP12Marker;
class APP13Marker;
class APP14Marker;
class COMMarker;
class DHTMarker;
class DQTMarker;
class DRIMarker;
class SOFMarker;
class SOSMarker;

class MarkerVisitor {
 public:
  virtual ~MarkerVisitor() = default;
  virtual void visit(const JPEGReader::Marker& marker) = 0;
  virtual void visit(const APP0Marker& marker);
  virtual void visit(const APP1Marker& marker);
  virtual void visit(const APP2Marker& marker);
  virtual void visit(const APP12Marker& marker);
  virtual void visit(const APP13Marker& marker);
  virtual void visit(const APP14Marker& marker);
  virtual void visit(const COMMarker& marker);
  virtual void visit(const DHTMarker& marker);
  virtual void visit(const DQTMarker& marker);
  virtual void visit(const DRIMarker& marker);
  virtual void visit(const SOFMarker& marker);
  virtual void visit(const SOSMarker& marker);
};

// Visits every marker of `list` in stream order.
void visitMarkers(const MarkerList& list, MarkerVisitor& visitor);

}  // namespace tessel
