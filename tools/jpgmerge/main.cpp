// jpgmerge: writes a new JPEG from the pixels of an image source and the structure (frame,
// sampling, quantization tables, segments, Exif block) of a metadata-source JPEG, then gives it
// the metadata source's file times.

#include <exception>
#include <iostream>
#include <memory>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/text.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/markers/jpeg_reader.h"
#include "merge_options.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/program.h"
#include "sources/image_sources.h"
#include "sources/imaging_loader.h"
#include "standard_options.h"

namespace tessel::jpgmerge {
namespace {

void runMerge(const MergeOptions& options) {
  const ImagingSession imaging;

  auto image = std::make_unique<PixelImage>();
  loadImageSource(*image, *options.imageSource);

  // The metadata source stays mapped while the output is opened, so an output naming the same
  // file is refused instead of being truncated under the mapping.
  auto reader = std::make_unique<JPEGReader>(*options.metadataSource);
  reader->parse();

  PropertyList overrides;
  if (options.timestamp) setDateOverrides(overrides, *options.timestamp);

  OutputFile output(*options.output);
  try {
    writeJpegFile(output, *image, *reader->markers, overrides, Background{0, 0, 0});
    output.close();
    overrides.clear();
    reader.reset();
    image.reset();
    platform::copyFileTimes(*options.metadataSource, *options.output);
  } catch (...) {
    // A failed run leaves no damage: a file that this run created goes again. (An existing
    // output is only written once the whole new file has been encoded in memory.)
    output.close();
    if (output.created()) platform::deleteFile(output.name());
    throw;
  }
}

}  // namespace
}  // namespace tessel::jpgmerge

namespace {

int runJpgmerge(int argc, char** argv) {
  using namespace tessel::jpgmerge;
  using tessel::writef;
  MergeOptions options;
  const char* command = argc > 0 && argv[0] ? argv[0] : "jpgmerge";
  if (!parseMergeOptions(argc, argv, options)) {
    writef(std::cerr, kUsage, command);
    return 1;
  }
  if (options.standardOption) {
    tessel::tools::answerStandardOption(options.standardOption, {"jpgmerge", kUsage, kOptions},
                                        command);
    return 0;
  }
  try {
    runMerge(options);
    return 0;
  } catch (const tessel::RawLayerException& e) {
    writef(std::cerr, kException, e.message().c_str());
  } catch (const std::exception& e) {
    writef(std::cerr, kException, e.what());
  }
  return 1;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tessel::platform::runProgram(argc, argv, runJpgmerge);
}
#else
int main(int argc, char** argv) {
  return runJpgmerge(argc, argv);
}
#endif
