#pragma once

#include <ostream>

namespace tessel {
class JPEGReader;
class PropertyList;
}  // namespace tessel

namespace tessel::jpgdump {

// Decodes the parsed file and prints "Decoded %d x %d pixels" and the image's properties.
void decodeReport(JPEGReader& reader, std::ostream& out);

// One line per property: its name, then its values by type.
void printPropertyList(const PropertyList& list, std::ostream& out);

}  // namespace tessel::jpgdump
