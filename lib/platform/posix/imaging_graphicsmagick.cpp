// The imaging library on Linux: GraphicsMagick, behind the GDI+-like interface of imaging.h. Files
// are read here, recognised by their signature and handed to the one coder of their format as bytes
// in memory; the library is kept from every file, program and network access of its own.

#include "platform/imaging.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/exception.h"
#include "platform/image_formats.h"
#include "platform/mapped_file.h"
#include "platform/tiff_properties.h"

#if TESSEL_HAVE_GRAPHICSMAGICK
#include <magick/api.h>
#endif

namespace tessel::imaging {

// --- The bitmap ----------------------------------------------------------------------------------

namespace {
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

struct Bitmap::Impl {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixelFormat = 0;
  std::vector<OwnedPropertyItem> properties;
  ColorPalette palette;  // indexed formats only
  // Rows in the bitmap's own format, built when the pixels are read.
  std::vector<uint8_t> bits;
  int32_t stride = 0;
  bool locked = false;
};

Bitmap::Bitmap(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Bitmap::~Bitmap() = default;

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

uint32_t strideFor(uint32_t width, uint32_t bits) {
  return uint32_t((uint64_t{width} * bits + 31) / 32 * 4);
}

// Quantum to the 0..8192 scale of the 16-bit formats.
inline uint16_t toDeep(Quantum q) {
  return uint16_t((uint32_t(q) * 8192U + MaxRGB / 2) / MaxRGB);
}

void putLe16(uint8_t* p, uint16_t v) {
  std::memcpy(p, &v, 2);
}

// Fills the bitmap's rows in its pixel format from the decoded image.
Status buildRows(Image* image, Bitmap::Impl& bitmap) {
  const uint32_t bits = bitsPerPixel(bitmap.pixelFormat);
  const uint64_t stride = uint64_t{bitmap.width} * bits / 8 + 4;  // upper bound before alignment
  if (stride > uint64_t(std::numeric_limits<int32_t>::max())) return kOutOfMemory;
  bitmap.stride = int32_t(strideFor(bitmap.width, bits));
  const uint64_t total = uint64_t(bitmap.stride) * bitmap.height;
  if (total > std::numeric_limits<size_t>::max() / 2) return kOutOfMemory;
  try {
    bitmap.bits.assign(size_t(total), 0);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  Exception exception;
  for (uint32_t y = 0; y < bitmap.height; ++y) {
    const PixelPacket* pixels =
        AcquireImagePixels(image, 0, long(y), bitmap.width, 1, &exception.info);
    if (!pixels) return statusOfException(exception.info);
    uint8_t* row = bitmap.bits.data() + size_t(y) * size_t(bitmap.stride);
    switch (bitmap.pixelFormat) {
      case kFormat1bppIndexed:
      case kFormat4bppIndexed:
      case kFormat8bppIndexed: {
        const IndexPacket* indexes = AccessImmutableIndexes(image);
        if (!indexes) return kGenericError;
        for (uint32_t x = 0; x < bitmap.width; ++x) {
          const uint32_t index = indexes[x];
          if (bits == 8) {
            row[x] = uint8_t(index);
          } else if (bits == 4) {
            row[x / 2] |= uint8_t((index & 0x0F) << (x % 2 == 0 ? 4 : 0));
          } else {
            row[x / 8] |= uint8_t((index & 1) << (7 - x % 8));
          }
        }
        break;
      }
      case kFormat24bppRGB:
        for (uint32_t x = 0; x < bitmap.width; ++x) {
          row[3 * x] = ScaleQuantumToChar(pixels[x].blue);
          row[3 * x + 1] = ScaleQuantumToChar(pixels[x].green);
          row[3 * x + 2] = ScaleQuantumToChar(pixels[x].red);
        }
        break;
      case kFormat32bppARGB:
        for (uint32_t x = 0; x < bitmap.width; ++x) {
          row[4 * x] = ScaleQuantumToChar(pixels[x].blue);
          row[4 * x + 1] = ScaleQuantumToChar(pixels[x].green);
          row[4 * x + 2] = ScaleQuantumToChar(pixels[x].red);
          row[4 * x + 3] = ScaleQuantumToChar(MaxRGB - pixels[x].opacity);
        }
        break;
      case kFormat48bppRGB:
        for (uint32_t x = 0; x < bitmap.width; ++x) {
          putLe16(row + 6 * x, toDeep(pixels[x].blue));
          putLe16(row + 6 * x + 2, toDeep(pixels[x].green));
          putLe16(row + 6 * x + 4, toDeep(pixels[x].red));
        }
        break;
      case kFormat64bppARGB:
        for (uint32_t x = 0; x < bitmap.width; ++x) {
          putLe16(row + 8 * x, toDeep(pixels[x].blue));
          putLe16(row + 8 * x + 2, toDeep(pixels[x].green));
          putLe16(row + 8 * x + 4, toDeep(pixels[x].red));
          putLe16(row + 8 * x + 6, toDeep(Quantum(MaxRGB - pixels[x].opacity)));
        }
        break;
      default:
        return kUnknownImageFormat;
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

Status openStatusOfErrno(int error) {
  if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP) {
    return kFileNotFound;
  }
  if (error == EACCES || error == EPERM) return kAccessDenied;
  return kGenericError;
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

Status Bitmap::createFromFile(const std::string& fileName, std::unique_ptr<Bitmap>& bitmap) {
  bitmap.reset();
  if (gSessions == 0) return kNotInitialized;

  struct stat status;
  if (::stat(fileName.c_str(), &status) != 0) return openStatusOfErrno(errno);
  if (S_ISDIR(status.st_mode)) return kAccessDenied;
  if (!S_ISREG(status.st_mode)) return kGenericError;
  if (status.st_size == 0) return kUnknownImageFormat;

  std::unique_ptr<MappedFile> file;
  try {
    file = std::make_unique<MappedFile>(fileName);
  } catch (const RawLayerException&) {
    return openStatusOfErrno(errno);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  const uint8_t* data = file->view();
  const size_t size = file->size();
  const SourceFormat format = detectFormat(data, size);
  if (format == SourceFormat::kNone) return kUnknownImageFormat;

  try {
    auto impl = std::make_unique<Impl>();
    std::vector<OwnedPropertyItem> tiffItems;
    if (format == SourceFormat::kTiff) tiffItems = readTiffProperties(data, size);

    std::unique_ptr<ImageInfo, ImageInfoDeleter> info(CloneImageInfo(nullptr));
    if (!info) return kOutOfMemory;
    // The format is fixed by the prefix; the name itself never reaches the library.
    std::snprintf(info->filename, sizeof info->filename, "%s:source", coderName(format));
    std::snprintf(info->magick, sizeof info->magick, "%s", coderName(format));
    info->affirm = MagickTrue;
    info->subimage = 0;
    info->subrange = 1;
    Exception exception;
    ImagePtr image(BlobToImage(info.get(), data, size, &exception.info));
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

    impl->width = uint32_t(image->columns);
    impl->height = uint32_t(image->rows);
    impl->pixelFormat =
        choosePixelFormat(image.get(), storesIndices(format, data, size, tiffItems));
    if (impl->pixelFormat == 0) return kUnknownImageFormat;

    if (format == SourceFormat::kTiff) {
      impl->properties = std::move(tiffItems);
    } else {
      size_t length = 0;
      const unsigned char* exif = GetImageProfile(image.get(), "EXIF", &length);
      if (exif && length >= 6 && std::memcmp(exif, "Exif\0\0", 6) == 0) {
        exif += 6;
        length -= 6;
      }
      if (exif) impl->properties = readTiffProperties(exif, length);
    }

    if (impl->pixelFormat & 0x10000) {  // indexed
      impl->palette.flags = image->matte ? 1 : 0;
      impl->palette.count = uint32_t(image->colors);
      for (uint32_t i = 0; i < image->colors; ++i) {
        const PixelPacket& c = image->colormap[i];
        const uint32_t alpha = image->matte ? ScaleQuantumToChar(MaxRGB - c.opacity) : 255;
        impl->palette.entries.push_back(alpha << 24 | uint32_t(ScaleQuantumToChar(c.red)) << 16 |
                                        uint32_t(ScaleQuantumToChar(c.green)) << 8 |
                                        ScaleQuantumToChar(c.blue));
      }
    }
    const Status rows = buildRows(image.get(), *impl);
    if (rows != kOk) return rows;
    bitmap.reset(new Bitmap(std::move(impl)));
    return kOk;
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
Status Bitmap::createFromFile(const std::string&, std::unique_ptr<Bitmap>& bitmap) {
  bitmap.reset();
  return gSessions == 0 ? kNotInitialized : kUnknownImageFormat;
}

#endif

Status Bitmap::getWidth(uint32_t& width) const {
  width = impl_->width;
  return kOk;
}

Status Bitmap::getHeight(uint32_t& height) const {
  height = impl_->height;
  return kOk;
}

Status Bitmap::getPixelFormat(uint32_t& format) const {
  format = impl_->pixelFormat;
  return kOk;
}

Status Bitmap::getPropertyCount(uint32_t& count) const {
  count = uint32_t(impl_->properties.size());
  return kOk;
}

Status Bitmap::getPropertyIdList(uint32_t count, uint32_t* ids) const {
  if (count != impl_->properties.size() || (count != 0 && !ids)) return kInvalidParameter;
  for (uint32_t i = 0; i < count; ++i) ids[i] = impl_->properties[i].id;
  return kOk;
}

Status Bitmap::getPropertyItemSize(uint32_t id, uint32_t& size) const {
  for (const OwnedPropertyItem& item : impl_->properties) {
    if (item.id == id) {
      size = uint32_t(item.value.size());
      return kOk;
    }
  }
  return kPropertyNotFound;
}

Status Bitmap::getPropertyItem(uint32_t id, uint32_t size, std::vector<uint8_t>& buffer,
                               PropertyItem& item) const {
  for (const OwnedPropertyItem& owned : impl_->properties) {
    if (owned.id != id) continue;
    if (size < owned.value.size() || buffer.size() < size) return kInsufficientBuffer;
    std::copy(owned.value.begin(), owned.value.end(), buffer.begin());
    item.id = owned.id;
    item.type = owned.type;
    item.length = uint32_t(owned.value.size());
    item.value = buffer.data();
    return kOk;
  }
  return kPropertyNotFound;
}

Status Bitmap::lockBits(const Rect& rect, uint32_t mode, uint32_t format, BitmapData& data) {
  if (impl_->locked) return kWrongState;
  if (rect.x != 0 || rect.y != 0 || rect.width < 0 || rect.height < 0 ||
      uint32_t(rect.width) != impl_->width || uint32_t(rect.height) != impl_->height ||
      mode != kLockModeRead || format != impl_->pixelFormat) {
    return kInvalidParameter;
  }
  impl_->locked = true;
  data.width = impl_->width;
  data.height = impl_->height;
  data.stride = impl_->stride;
  data.pixelFormat = impl_->pixelFormat;
  data.scan0 = impl_->bits.data();
  return kOk;
}

Status Bitmap::unlockBits(BitmapData& data) {
  if (!impl_->locked) return kWrongState;
  impl_->locked = false;
  data.scan0 = nullptr;
  return kOk;
}

Status Bitmap::getPaletteSize(int32_t& size) const {
  if (!(impl_->pixelFormat & 0x10000)) return kInvalidParameter;
  size = int32_t(8 + 4 * impl_->palette.count);
  return kOk;
}

Status Bitmap::getPalette(ColorPalette& palette, int32_t size) const {
  if (!(impl_->pixelFormat & 0x10000)) return kInvalidParameter;
  if (size < int32_t(8 + 4 * impl_->palette.count)) return kInsufficientBuffer;
  palette = impl_->palette;
  return kOk;
}

}  // namespace tessel::imaging
