#include "sources/imaging_adapter.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/exception.h"
#include "platform/mapped_file.h"

#if TESSEL_HAVE_GRAPHICSMAGICK
#include <magick/api.h>
#endif

namespace tessel::imaging {

// --- TIFF tag walk -------------------------------------------------------------------------------

namespace {

constexpr uint32_t kTagExifDirectory = 34665;

// Bytes per value of TIFF types 1 to 12; 0 for anything else.
uint32_t tiffValueSize(uint32_t type) {
  static constexpr uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

class TiffWalk {
 public:
  TiffWalk(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  std::vector<OwnedPropertyItem> run() {
    std::vector<OwnedPropertyItem> items;
    if (size_ < 8) return items;
    if (data_[0] == 'I' && data_[1] == 'I') {
      bigEndian_ = false;
    } else if (data_[0] == 'M' && data_[1] == 'M') {
      bigEndian_ = true;
    } else {
      return items;
    }
    if (u16(2) != 42) return items;
    uint32_t exifOffset = 0;
    readDirectory(u32(4), items, &exifOffset);
    if (exifOffset != 0) readDirectory(exifOffset, items, nullptr);
    return items;
  }

 private:
  uint16_t u16(size_t at) const {
    return bigEndian_ ? uint16_t(data_[at] << 8 | data_[at + 1])
                      : uint16_t(data_[at + 1] << 8 | data_[at]);
  }
  uint32_t u32(size_t at) const {
    return bigEndian_ ? uint32_t(data_[at]) << 24 | uint32_t(data_[at + 1]) << 16 |
                            uint32_t(data_[at + 2]) << 8 | data_[at + 3]
                      : uint32_t(data_[at + 3]) << 24 | uint32_t(data_[at + 2]) << 16 |
                            uint32_t(data_[at + 1]) << 8 | data_[at];
  }

  void readDirectory(uint32_t offset, std::vector<OwnedPropertyItem>& items,
                     uint32_t* exifOffset) const {
    if (uint64_t{offset} + 2 > size_) return;
    const uint32_t entries = u16(offset);
    for (uint32_t i = 0; i < entries; ++i) {
      const uint64_t entry = uint64_t{offset} + 2 + uint64_t{i} * 12;
      if (entry + 12 > size_) return;
      readEntry(size_t(entry), items, exifOffset);
    }
  }

  void readEntry(size_t entry, std::vector<OwnedPropertyItem>& items, uint32_t* exifOffset) const {
    const uint32_t tag = u16(entry);
    const uint16_t type = u16(entry + 2);
    const uint32_t count = u32(entry + 4);
    const uint32_t valueSize = tiffValueSize(type);
    if (valueSize == 0) return;
    const uint64_t length = uint64_t{count} * valueSize;
    uint64_t at = entry + 8;
    if (length > 4) {
      at = u32(entry + 8);
      if (at > size_ || length > size_ - at) return;
    }
    if (exifOffset && tag == kTagExifDirectory && count == 1 && (type == 4 || type == 13)) {
      *exifOffset = u32(entry + 8);
    }
    for (const OwnedPropertyItem& item : items) {
      if (item.id == tag) return;  // the first occurrence of a tag wins
    }
    OwnedPropertyItem item;
    item.id = tag;
    item.type = type;
    item.count = count;
    item.value.resize(size_t(length));
    // Numbers go to host order element by element; rationals are two 4-byte elements.
    const uint32_t element = (type == 5 || type == 10) ? 4 : valueSize;
    for (uint64_t k = 0; k < length; k += element) {
      uint8_t* out = item.value.data() + k;
      const uint8_t* in = data_ + at + k;
      if (element == 1) {
        out[0] = in[0];
      } else if (element == 2) {
        const uint16_t v = u16(size_t(at + k));
        std::memcpy(out, &v, 2);
      } else if (element == 4) {
        const uint32_t v = u32(size_t(at + k));
        std::memcpy(out, &v, 4);
      } else {
        uint64_t v = 0;
        for (int b = 0; b < 8; ++b) v = v << 8 | in[bigEndian_ ? b : 7 - b];
        std::memcpy(out, &v, 8);
      }
    }
    items.push_back(std::move(item));
  }

  const uint8_t* data_;
  size_t size_;
  bool bigEndian_ = false;
};

}  // namespace

std::vector<OwnedPropertyItem> readTiffProperties(const uint8_t* data, size_t size) {
  return TiffWalk(data, size).run();
}

// --- Formats recognised by their signature ---------------------------------------------------

namespace {

enum class SourceFormat { kNone, kPng, kGif, kBmp, kTiff, kWebp, kPnm, kTga, kIco, kJpeg };

bool startsWith(const uint8_t* data, size_t size, const char* signature, size_t length) {
  return size >= length && std::memcmp(data, signature, length) == 0;
}

// Truevision TGA has no signature; its header must describe a plausible raster.
bool looksLikeTga(const uint8_t* d, size_t size) {
  if (size < 18) return false;
  const uint8_t idLength = d[0], mapType = d[1], imageType = d[2], depth = d[16];
  (void)idLength;
  if (mapType > 1) return false;
  const bool mapped = imageType == 1 || imageType == 9;
  const bool direct = imageType == 2 || imageType == 3 || imageType == 10 || imageType == 11;
  if (!mapped && !direct) return false;
  if (mapped != (mapType == 1)) return false;
  if (depth != 8 && depth != 15 && depth != 16 && depth != 24 && depth != 32) return false;
  const uint16_t width = uint16_t(d[12] | d[13] << 8), height = uint16_t(d[14] | d[15] << 8);
  return width != 0 && height != 0;
}

SourceFormat detectFormat(const uint8_t* d, size_t size) {
  if (startsWith(d, size, "\x89PNG\r\n\x1a\n", 8)) return SourceFormat::kPng;
  if (startsWith(d, size, "GIF87a", 6) || startsWith(d, size, "GIF89a", 6)) {
    return SourceFormat::kGif;
  }
  if (startsWith(d, size, "BM", 2) && size >= 30) return SourceFormat::kBmp;
  if (startsWith(d, size, "II*\0", 4) || startsWith(d, size, "MM\0*", 4)) {
    return SourceFormat::kTiff;
  }
  if (size >= 12 && std::memcmp(d, "RIFF", 4) == 0 && std::memcmp(d + 8, "WEBP", 4) == 0) {
    return SourceFormat::kWebp;
  }
  if (size >= 3 && d[0] == 'P' && d[1] >= '1' && d[1] <= '7' &&
      (d[2] == ' ' || d[2] == '\t' || d[2] == '\n' || d[2] == '\r')) {
    return SourceFormat::kPnm;
  }
  if (startsWith(d, size, "\xFF\xD8\xFF", 3)) return SourceFormat::kJpeg;
  if (startsWith(d, size, "\0\0\1\0", 4) && size >= 6 && (d[4] | d[5]) != 0) {
    return SourceFormat::kIco;
  }
  if (looksLikeTga(d, size)) return SourceFormat::kTga;
  return SourceFormat::kNone;
}

const char* coderName(SourceFormat format) {
  switch (format) {
    case SourceFormat::kPng:
      return "PNG";
    case SourceFormat::kGif:
      return "GIF";
    case SourceFormat::kBmp:
      return "BMP";
    case SourceFormat::kTiff:
      return "TIFF";
    case SourceFormat::kWebp:
      return "WEBP";
    case SourceFormat::kPnm:
      return "PNM";
    case SourceFormat::kTga:
      return "TGA";
    case SourceFormat::kIco:
      return "ICO";
    case SourceFormat::kJpeg:
      return "JPEG";
    case SourceFormat::kNone:
      break;
  }
  return "";
}

const OwnedPropertyItem* findItem(const std::vector<OwnedPropertyItem>& items, uint32_t id) {
  for (const OwnedPropertyItem& item : items) {
    if (item.id == id) return &item;
  }
  return nullptr;
}

uint32_t firstNumber(const OwnedPropertyItem& item) {
  if (item.type == 3 && item.value.size() >= 2) {
    uint16_t v;
    std::memcpy(&v, item.value.data(), 2);
    return v;
  }
  if (item.type == 4 && item.value.size() >= 4) {
    uint32_t v;
    std::memcpy(&v, item.value.data(), 4);
    return v;
  }
  return 0;
}

// Whether the file stores colour-table indices (a palette or bilevel image) rather than colours.
bool storesIndices(SourceFormat format, const uint8_t* d, size_t size,
                   const std::vector<OwnedPropertyItem>& tiffItems) {
  switch (format) {
    case SourceFormat::kPng:
      return size > 25 && d[25] == 3;
    case SourceFormat::kGif:
      return true;
    case SourceFormat::kIco:
      return true;
    case SourceFormat::kBmp: {
      const uint32_t headerSize =
          uint32_t(d[14] | d[15] << 8 | d[16] << 16 | uint32_t(d[17]) << 24);
      const size_t at = headerSize == 12 ? 24 : 28;
      return size >= at + 2 && (d[at] | d[at + 1] << 8) <= 8;
    }
    case SourceFormat::kTiff: {
      const OwnedPropertyItem* photometric = findItem(tiffItems, 262);
      const OwnedPropertyItem* bits = findItem(tiffItems, 258);
      return (photometric && firstNumber(*photometric) == 3) || (bits && firstNumber(*bits) == 1);
    }
    case SourceFormat::kPnm:
      return d[1] == '1' || d[1] == '4';
    case SourceFormat::kTga:
      return d[2] == 1 || d[2] == 9;
    default:
      return false;
  }
}

}  // namespace

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
