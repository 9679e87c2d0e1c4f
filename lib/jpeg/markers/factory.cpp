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
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/sof_marker.h"
#include "jpeg/markers/sos_marker.h"

namespace tessel {

std::unique_ptr<JPEGReader::Marker> makeMarker(uint8_t code, int32_t length,
                                               const uint8_t* payload) {
  if (isSofCode(code)) return std::make_unique<SOFMarker>(code, length, payload);
  switch (code) {
    case kCodeDht:
      return std::make_unique<DHTMarker>(code, length, payload);
    case kCodeSos:
      return std::make_unique<SOSMarker>(code, length, payload);
    case kCodeDqt:
      return std::make_unique<DQTMarker>(code, length, payload);
    case kCodeDri:
      return std::make_unique<DRIMarker>(code, length, payload);
    case kCodeApp0:
      return std::make_unique<APP0Marker>(code, length, payload);
    case kCodeApp1:
      return std::make_unique<APP1Marker>(code, length, payload);
    case kCodeApp2:
      return std::make_unique<APP2Marker>(code, length, payload);
    case kCodeApp12:
      return std::make_unique<APP12Marker>(code, length, payload);
    case kCodeApp13:
      return std::make_unique<APP13Marker>(code, length, payload);
    case kCodeApp14:
      return std::make_unique<APP14Marker>(code, length, payload);
    case kCodeCom:
      return std::make_unique<COMMarker>(code, length, payload);
    default:
      // Every other code (JPG, DAC, RSTn, stray SOI/EOI, DNL, DHP, EXP, APP3-APP11, APP15,
      // JPGn, fill bytes) is listed as an unknown segment.
      return std::make_unique<JPEGReader::Marker>(code, length, payload);
  }
}

}  // namespace tessel
