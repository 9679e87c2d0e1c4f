// The imaging library on Linux: GraphicsMagick, behind the interface of imaging.h. Files are read
// here, recognised by their signature and handed to the one coder of their format as bytes in
// memory; the library is kept from every file, program and network access of its own.
//
// A decoded picture keeps its pixels in the smallest form that gives its 16-bit RGBA rows (packed
// palette indices, 8-bit samples, or the 16-bit samples themselves), so that the library's own
// pixels can go before the loader makes its 16-bit image.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/exception.h"
#include "platform/image_formats.h"
#include "platform/imaging.h"
#include "platform/mapped_file.h"
#include "platform/tiff_properties.h"

#if TESSEL_HAVE_GRAPHICSMAGICK
#include <magick/api.h>
#endif

namespace tessel::imaging {

namespace {
// GraphicsMagick is initialised and destroyed for the whole process, so the nesting of sessions
// is counted for the whole process too. Its resource limits are process-wide as well: the size
// cap is kept here so that a library started again gets it back.
int gSessions = 0;
uint64_t gMaxPixels = 0;
uint32_t gMaxSide = 0;
}  // namespace

void limitImageSize(uint64_t maxPixels, uint32_t maxSide) {
  gMaxPixels = maxPixels;
  gMaxSide = maxSide;
#if TESSEL_HAVE_GRAPHICSMAGICK
  if (gSessions > 0) {
    if (maxPixels) SetMagickResourceLimit(PixelsResource, magick_int64_t(maxPixels));
    if (maxSide) {
      SetMagickResourceLimit(WidthResource, maxSide);
      SetMagickResourceLimit(HeightResource, maxSide);
    }
  }
#endif
}

struct Picture::Impl {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixelFormat = 0;
  std::vector<OwnedPropertyItem> properties;
  std::vector<uint16_t> palette;  // indexed formats: 16-bit R, G, B, A of each entry
  // The rows, `rowBytes` apart: indices packed at the format's bits per pixel, 8-bit R, G, B (and
  // A), or 16-bit R, G, B (and A) in host order.
  std::vector<uint8_t> samples;
  size_t rowBytes = 0;
};

Picture::Picture(std::unique_ptr<Impl> impl, uint32_t width, uint32_t height, uint32_t format)
    : impl_(std::move(impl)), width_(width), height_(height), pixelFormat_(format) {}
Picture::~Picture() = default;

#if TESSEL_HAVE_GRAPHICSMAGICK

namespace {

// Nothing the library reads may reach a file, a program or the network: sources come in as
// bytes in memory.
MagickPassFail refuseAccess(const ConfirmAccessMode, const char*, ExceptionInfo*) {
  return MagickFail;
}
void quietError(const ExceptionType, const char*, const char*) {}
void quietWarning(const ExceptionType, const char*, const char*) {}

struct ImageDeleter {
  void operator()(Image* image) const {
    if (image) DestroyImageList(image);
  }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

struct ImageInfoDeleter {
  void operator()(ImageInfo* info) const {
    if (info) DestroyImageInfo(info);
  }
};

class Exception {
 public:
  Exception() { GetExceptionInfo(&info); }
  ~Exception() { DestroyExceptionInfo(&info); }
  Exception(const Exception&) = delete;
  Exception& operator=(const Exception&) = delete;
  ExceptionInfo info;
};

Status statusOfException(const ExceptionInfo& exception) {
  const int severity = exception.severity;
  const int base = severity % 100;
  if (base == ResourceLimitBase || base == CacheBase) return kOutOfMemory;
  if (base == MissingDelegateBase || base == ModuleBase) return kUnknownImageFormat;
  return kGenericError;
}

uint32_t bitsPerPixel(uint32_t format) {
  switch (format) {
    case kFormat1bppIndexed:
      return 1;
    case kFormat4bppIndexed:
      return 4;
    case kFormat8bppIndexed:
      return 8;
    case kFormat24bppRGB:
      return 24;
    case kFormat32bppARGB:
      return 32;
    case kFormat48bppRGB:
      return 48;
    default:
      return 64;
  }
}

// The 8-bit samples of a quantum, widened to 16 bits as GDI+ widens them.
inline uint8_t narrowSample(Quantum q) {
  return ScaleQuantumToChar(q);
}

// A quantum of a deep (more than 8-bit) picture. GDI+ holds such samples on a scale of 0 to 8192
// and widens them by 8, its full scale to 65535; the same 13-bit steps are taken here, so that a
// picture gives the same pixels on both platforms.
inline uint16_t deepSample(Quantum q) {
  const uint32_t steps = (uint32_t(q) * 8192U + MaxRGB / 2) / MaxRGB;
  return steps >= 8192 ? 65535 : uint16_t(steps * 8);
}

void putIndices(const IndexPacket* indexes, uint32_t width, uint32_t bits, uint8_t* row) {
  for (uint32_t x = 0; x < width; ++x) {
    const uint32_t index = indexes[x];
    if (bits == 8) {
      row[x] = uint8_t(index);
    } else if (bits == 4) {
      row[x / 2] |= uint8_t((index & 0x0F) << (x % 2 == 0 ? 4 : 0));
    } else {
      row[x / 8] |= uint8_t((index & 1) << (7 - x % 8));
    }
  }
}

void putSamples(const PixelPacket* pixels, uint32_t width, bool alpha, bool deep, uint8_t* row) {
  const uint32_t channels = alpha ? 4 : 3;
  for (uint32_t x = 0; x < width; ++x) {
    const Quantum q[4] = {pixels[x].red, pixels[x].green, pixels[x].blue,
                          Quantum(MaxRGB - pixels[x].opacity)};
    for (uint32_t c = 0; c < channels; ++c) {
      if (deep) {
        const uint16_t v = deepSample(q[c]);
        std::memcpy(row + 2 * (channels * x + c), &v, 2);
      } else {
        row[channels * x + c] = narrowSample(q[c]);
      }
    }
  }
}

// Keeps the decoded image's pixels in the picture's own form.
Status storeRows(Image* image, Picture::Impl& picture) {
  const uint32_t bits = bitsPerPixel(picture.pixelFormat);
  const uint64_t bound = uint64_t{picture.width} * bits / 8 + 4;  // before alignment
  if (bound > uint64_t(std::numeric_limits<int32_t>::max())) return kOutOfMemory;
  // Rows of whole 32-bit words, as GDI+ lays its bitmaps out.
  picture.rowBytes = size_t((uint64_t{picture.width} * bits + 31) / 32 * 4);
  const uint64_t total = uint64_t(picture.rowBytes) * picture.height;
  if (total > std::numeric_limits<size_t>::max() / 2) return kOutOfMemory;
  try {
    picture.samples.assign(size_t(total), 0);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  const bool indexed = isIndexed(picture.pixelFormat);
  const bool alpha =
      picture.pixelFormat == kFormat32bppARGB || picture.pixelFormat == kFormat64bppARGB;
  const bool deep =
      picture.pixelFormat == kFormat48bppRGB || picture.pixelFormat == kFormat64bppARGB;
  Exception exception;
  for (uint32_t y = 0; y < picture.height; ++y) {
    const PixelPacket* pixels =
        AcquireImagePixels(image, 0, long(y), picture.width, 1, &exception.info);
    if (!pixels) return statusOfException(exception.info);
    uint8_t* row = picture.samples.data() + size_t(y) * picture.rowBytes;
    if (indexed) {
      const IndexPacket* indexes = AccessImmutableIndexes(image);
      if (!indexes) return kGenericError;
      putIndices(indexes, picture.width, bits, row);
    } else {
      putSamples(pixels, picture.width, alpha, deep, row);
    }
  }
  return kOk;
}

// Picks the accepted pixel format that represents the decoded image, or 0 when none does.
uint32_t choosePixelFormat(const Image* image, bool indices) {
  if (!IsRGBColorspace(image->colorspace)) return 0;
  if (indices && image->storage_class == PseudoClass && image->colors >= 1 &&
      image->colors <= 256 && image->colormap) {
    if (image->colors <= 2) return kFormat1bppIndexed;
    if (image->colors <= 16) return kFormat4bppIndexed;
    return kFormat8bppIndexed;
  }
  const bool alpha = image->matte != 0;
  if (image->depth <= 8) return alpha ? kFormat32bppARGB : kFormat24bppRGB;
  return alpha ? kFormat64bppARGB : kFormat48bppRGB;
}

// The palette entries in 16-bit RGBA; their alpha is not used, as GDI+'s readers do not use it.
std::vector<uint16_t> paletteOf(const Image* image) {
  std::vector<uint16_t> palette;
  palette.reserve(4 * size_t(image->colors));
  for (uint32_t i = 0; i < image->colors; ++i) {
    const PixelPacket& c = image->colormap[i];
    for (const Quantum q : {c.red, c.green, c.blue}) palette.push_back(narrowSample(q) * 257);
    palette.push_back(65535);
  }
  return palette;
}

// The Exif profile's properties of a picture that is no TIFF file.
std::vector<OwnedPropertyItem> exifProperties(Image* image) {
  size_t length = 0;
  const unsigned char* exif = GetImageProfile(image, "EXIF", &length);
  if (exif && length >= 6 && std::memcmp(exif, "Exif\0\0", 6) == 0) {
    exif += 6;
    length -= 6;
  }
  return exif ? readTiffProperties(exif, length) : std::vector<OwnedPropertyItem>();
}

Status openStatusOfErrno(int error) {
  if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP) {
    return kFileNotFound;
  }
  if (error == EACCES || error == EPERM) return kAccessDenied;
  return kGenericError;
}

// Maps the file after the checks that give their own statuses; the format is recognised from the
// mapped bytes.
Status mapSource(const std::string& fileName, std::unique_ptr<MappedFile>& file) {
  struct stat status;
  if (::stat(fileName.c_str(), &status) != 0) return openStatusOfErrno(errno);
  if (S_ISDIR(status.st_mode)) return kAccessDenied;
  if (!S_ISREG(status.st_mode)) return kGenericError;
  if (status.st_size == 0) return kUnknownImageFormat;
  try {
    file = std::make_unique<MappedFile>(fileName);
  } catch (const RawLayerException&) {
    return openStatusOfErrno(errno);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  return kOk;
}

// Decodes the bytes with the one coder of `format`, the first image only.
Status decode(SourceFormat format, const MappedFile& file, ImagePtr& image) {
  std::unique_ptr<ImageInfo, ImageInfoDeleter> info(CloneImageInfo(nullptr));
  if (!info) return kOutOfMemory;
  // The format is fixed by the prefix; the name itself never reaches the library.
  std::snprintf(info->filename, sizeof info->filename, "%s:source", coderName(format));
  std::snprintf(info->magick, sizeof info->magick, "%s", coderName(format));
  info->affirm = MagickTrue;
  info->subimage = 0;
  info->subrange = 1;
  Exception exception;
  image.reset(BlobToImage(info.get(), file.view(), file.size(), &exception.info));
  if (!image) {
    return exception.info.severity >= ErrorException ? statusOfException(exception.info)
                                                     : kGenericError;
  }
  if (exception.info.severity >= ErrorException) return statusOfException(exception.info);
  if (std::strcmp(image->magick, coderName(format)) != 0) return kUnknownImageFormat;
  if (image->columns == 0 || image->rows == 0 ||
      image->columns > std::numeric_limits<int32_t>::max() ||
      image->rows > std::numeric_limits<int32_t>::max()) {
    return kGenericError;
  }
  return kOk;
}

// Everything the picture keeps of a decoded image.
Status describe(Image* image, SourceFormat format, const MappedFile& file,
                std::vector<OwnedPropertyItem>& tiffItems, Picture::Impl& picture) {
  picture.width = uint32_t(image->columns);
  picture.height = uint32_t(image->rows);
  picture.pixelFormat =
      choosePixelFormat(image, storesIndices(format, file.view(), file.size(), tiffItems));
  if (picture.pixelFormat == 0) return kUnknownImageFormat;
  picture.properties = format == SourceFormat::kTiff ? std::move(tiffItems) : exifProperties(image);
  if (isIndexed(picture.pixelFormat)) picture.palette = paletteOf(image);
  return storeRows(image, picture);
}

// Decodes the mapped file, recognised as `format`, into a new picture.
Status decodePicture(SourceFormat format, const MappedFile& file,
                     std::unique_ptr<Picture>& picture) {
  auto impl = std::make_unique<Picture::Impl>();
  std::vector<OwnedPropertyItem> tiffItems;
  if (format == SourceFormat::kTiff) tiffItems = readTiffProperties(file.view(), file.size());
  ImagePtr image;
  Status status = decode(format, file, image);
  if (status == kOk) status = describe(image.get(), format, file, tiffItems, *impl);
  if (status != kOk) return status;
  const Picture::Impl& shape = *impl;
  picture =
      std::make_unique<Picture>(std::move(impl), shape.width, shape.height, shape.pixelFormat);
  return kOk;
}

}  // namespace

Status startup() {
  if (gSessions > 0) {
    ++gSessions;
    return kOk;
  }
  Exception exception;
  if (InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, &exception.info) != MagickPass) {
    return kGenericError;
  }
  MagickSetConfirmAccessHandler(refuseAccess);
  SetErrorHandler(quietError);
  SetWarningHandler(quietWarning);
  // One thread, as the rest of the program; the pixel cache stays in memory.
  SetMagickResourceLimit(ThreadsResource, 1);
  SetMagickResourceLimit(DiskResource, 0);
  SetMagickResourceLimit(MapResource, 0);
  gSessions = 1;
  limitImageSize(gMaxPixels, gMaxSide);
  return kOk;
}

void shutdown() noexcept {
  if (gSessions == 0) return;
  if (--gSessions == 0) DestroyMagick();
}

Status Picture::open(const std::string& fileName, std::unique_ptr<Picture>& picture) {
  picture.reset();
  if (gSessions == 0) return kNotInitialized;
  std::unique_ptr<MappedFile> file;
  const Status status = mapSource(fileName, file);
  if (status != kOk) return status;
  const SourceFormat format = detectFormat(file->view(), file->size());
  if (format == SourceFormat::kNone) return kUnknownImageFormat;
  try {
    return decodePicture(format, *file, picture);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

#else  // no imaging library in this build: every file is of an unknown format

Status startup() {
  ++gSessions;
  return kOk;
}
void shutdown() noexcept {
  if (gSessions > 0) --gSessions;
}
Status Picture::open(const std::string&, std::unique_ptr<Picture>& picture) {
  picture.reset();
  return gSessions == 0 ? kNotInitialized : kUnknownImageFormat;
}

#endif

Status Picture::readProperties(std::vector<OwnedPropertyItem>& items) const {
  items = impl_->properties;
  return kOk;
}

Status Picture::preparePixels() {
  return kOk;
}

void Picture::readRow(uint32_t y, uint16_t* rgba) const {
  const Impl& p = *impl_;
  const uint8_t* row = p.samples.data() + size_t(y) * p.rowBytes;
  const uint32_t format = p.pixelFormat;
  if (isIndexed(format)) {
    const size_t entries = p.palette.size() / 4;
    for (uint32_t x = 0; x < p.width; ++x, rgba += 4) {
      const uint32_t index = format == kFormat8bppIndexed ? row[x]
                             : format == kFormat4bppIndexed
                                 ? (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0x0F
                                 : (row[x / 8] >> (7 - x % 8)) & 1;
      // An index past the palette is transparent black.
      if (index < entries) {
        std::memcpy(rgba, &p.palette[4 * index], 8);
      } else {
        rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0;
      }
    }
    return;
  }
  const bool alpha = format == kFormat32bppARGB || format == kFormat64bppARGB;
  const bool deep = format == kFormat48bppRGB || format == kFormat64bppARGB;
  const uint32_t channels = alpha ? 4 : 3;
  for (uint32_t x = 0; x < p.width; ++x, rgba += 4) {
    for (uint32_t c = 0; c < channels; ++c) {
      if (deep) {
        std::memcpy(rgba + c, row + 2 * (channels * x + c), 2);
      } else {
        rgba[c] = uint16_t(row[channels * x + c] * 257);
      }
    }
    if (!alpha) rgba[3] = 65535;
  }
}

}  // namespace tessel::imaging
