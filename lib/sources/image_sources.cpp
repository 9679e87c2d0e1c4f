// Placeholder until the image-source loader lands.
#include "core/exception.h"
#include "sources/image_sources.h"

namespace tessel {

void loadImageSource(PixelImage&, const std::string&) { fail("Image sources are not supported yet"); }
void loadWithGdiplus(PixelImage&, const std::string&) { fail("Image sources are not supported yet"); }

}  // namespace tessel
