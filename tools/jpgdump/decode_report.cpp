#include "decode_report.h"

#include "core/exception.h"
#include "jpeg/jpeg_reader.h"

namespace tessel::jpgdump {

void decodeReport(JPEGReader&, std::ostream&) { fail("Decoding is not available in this build"); }

void printPropertyList(const PropertyList&, std::ostream&) {}

}  // namespace tessel::jpgdump
