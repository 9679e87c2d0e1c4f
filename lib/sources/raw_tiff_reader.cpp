// Placeholder until the raw reader lands.
#include "core/exception.h"
#include "sources/image_sources.h"

namespace tessel {

void readRawTiffFile(PixelImage&, const std::string&) { fail("NEF files are not supported yet"); }

}  // namespace tessel
