#include "jpeg/jpeg_reader.h"

namespace tessel {

std::unique_ptr<JPEGReader::Marker> makeMarker(uint8_t code, int32_t length,
                                               const uint8_t* payload) {
  switch (code) {
    default:
      return std::make_unique<JPEGReader::Marker>(code, length, payload);
  }
}

}  // namespace tessel
