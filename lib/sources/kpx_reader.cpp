// Placeholder until the container reader lands.
#include "core/exception.h"
#include "sources/image_sources.h"

namespace tessel {

void readKpxFile(PixelImage&, const std::string&) { fail("KPX files are not supported yet"); }

}  // namespace tessel
