#include "jpeg/jpeg_reader.h"
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

std::unique_ptr<JPEGReader::Marker> makeMarker(uint8_t code, int32_t length,
                                               const uint8_t* payload) {
  if (isSofCode(code)) return std::make_unique<SOFMarker>(code, length, payload);
  switch (code) {
    case 0xC4:
      return std::make_unique<DHTMarker>(code, length, payload);
    case 0xDA:
      return std::make_unique<SOSMarker>(code, length, payload);
    case 0xDB:
      return std::make_unique<DQTMarker>(code, length, payload);
    case 0xDD:
      return std::make_unique<DRIMarker>(code, length, payload);
    case 0xE0:
      return std::make_unique<APP0Marker>(code, length, payload);
    case 0xE1:
      return std::make_unique<APP1Marker>(code, length, payload);
    case 0xE2:
      return std::make_unique<APP2Marker>(code, length, payload);
    case 0xEC:
      return std::make_unique<APP12Marker>(code, length, payload);
    case 0xED:
      return std::make_unique<APP13Marker>(code, length, payload);
    case 0xEE:
      return std::make_unique<APP14Marker>(code, length, payload);
    case 0xFE:
      return std::make_unique<COMMarker>(code, length, payload);
    default:
      // Every other code (JPG, DAC, RSTn, stray SOI/EOI, DNL, DHP, EXP, APP3-APP11, APP15,
      // JPGn, fill bytes) is listed as an unknown segment.
      return std::make_unique<JPEGReader::Marker>(code, length, payload);
  }
}

}  // namespace tessel
