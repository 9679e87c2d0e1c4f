// The imaging library on Windows: GDI+, through its flat API, behind the interface of imaging.h.
// A file reaches GDI+ only when its first bytes show a still-image format that GDI+ decodes (BMP,
// GIF, ICO, JPEG, PNG, TIFF): GDI+ would also open EMF and WMF metafiles, which are drawings, not
// pixels. The file stays open for shared reading while GDI+ opens it, so what it reads is what
// was recognised, and the format GDI+ reports must be the one recognised.

#include <windows.h>
// GDI+'s headers need PROPID, which the lean Windows header leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "core/exception.h"
#include "platform/image_formats.h"
#include "platform/imaging.h"
#include "platform/mapped_file.h"
#include "platform/tiff_properties.h"
#include "platform/windows/wide_text.h"

namespace tessel::imaging {

namespace gdip = Gdiplus::DllExports;

namespace {

// GDI+ is started and shut down for the whole process, so the nesting of sessions is counted for
// the whole process too. The size cap is process-wide as on Linux, where the library's own limits
// are.
int gSessions = 0;
ULONG_PTR gToken = 0;
uint64_t gMaxPixels = 0;
uint32_t gMaxSide = 0;

// GDI+'s raw-format GUIDs differ only in their first field: b96b3cXX-0728-11d3-9d7b-0000f81ef32e.
constexpr uint32_t kRawBmp = 0xb96b3cab, kRawJpeg = 0xb96b3cae, kRawPng = 0xb96b3caf,
                   kRawGif = 0xb96b3cb0, kRawTiff = 0xb96b3cb1, kRawIcon = 0xb96b3cb5;
constexpr uint8_t kRawTail[8] = {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e};

// The raw format GDI+ must report for a recognised format; 0 for formats it has no decoder for.
uint32_t rawFormatOf(SourceFormat format) {
  switch (format) {
    case SourceFormat::kBmp:
      return kRawBmp;
    case SourceFormat::kJpeg:
      return kRawJpeg;
    case SourceFormat::kPng:
      return kRawPng;
    case SourceFormat::kGif:
      return kRawGif;
    case SourceFormat::kTiff:
      return kRawTiff;
    case SourceFormat::kIco:
      return kRawIcon;
    default:
      return 0;
  }
}

// The accepted pixel format that the bitmap is read in: its own, or the one GDI+ converts it to
// when locked. 0 for colour spaces that are refused (CMYK).
uint32_t readableFormat(uint32_t native) {
  switch (native) {
    case kFormat1bppIndexed:
    case kFormat4bppIndexed:
    case kFormat8bppIndexed:
    case kFormat24bppRGB:
    case kFormat32bppRGB:
    case kFormat32bppARGB:
    case kFormat48bppRGB:
    case kFormat64bppARGB:
      return native;
    case PixelFormat16bppRGB555:
    case PixelFormat16bppRGB565:
      return kFormat24bppRGB;
    case PixelFormat16bppARGB1555:
    case PixelFormat32bppPARGB:
      return kFormat32bppARGB;
    case PixelFormat16bppGrayScale:
      return kFormat48bppRGB;
    case PixelFormat64bppPARGB:
      return kFormat64bppARGB;
    default:
      return 0;
  }
}

Status openStatusOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_FILENAME_EXCED_RANGE:
      return kFileNotFound;
    case ERROR_ACCESS_DENIED:
      return kAccessDenied;
    default:
      return kGenericError;
  }
}

// Closes a handle on every way out.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// A sample of GDI+'s 16-bit formats, full scale 8192, to the 65535 scale.
inline uint16_t deepSample(const uint8_t* p) {
  const uint32_t v = p[0] | uint32_t(p[1]) << 8;
  return v >= 8192 ? 65535 : uint16_t(v * 8);
}

}  // namespace

void limitImageSize(uint64_t maxPixels, uint32_t maxSide) {
  gMaxPixels = maxPixels;
  gMaxSide = maxSide;
}

struct Picture::Impl {
  Gdiplus::GpBitmap* bitmap = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixelFormat = 0;  // the format the bitmap is read in
  Gdiplus::BitmapData locked{};
  bool isLocked = false;
  std::vector<uint32_t> palette;  // indexed formats: the entries as 0xAARRGGBB

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (isLocked) gdip::GdipBitmapUnlockBits(bitmap, &locked);
    if (bitmap) gdip::GdipDisposeImage(bitmap);
  }
};

Picture::Picture(std::unique_ptr<Impl> impl, uint32_t width, uint32_t height, uint32_t format)
    : impl_(std::move(impl)), width_(width), height_(height), pixelFormat_(format) {}
Picture::~Picture() = default;

Status startup() {
  if (gSessions > 0) {
    ++gSessions;
    return kOk;
  }
  Gdiplus::GdiplusStartupInput input;
  input.GdiplusVersion = 1;
  input.DebugEventCallback = nullptr;
  input.SuppressBackgroundThread = FALSE;
  // Only the decoders that come with GDI+, never codecs installed by other programs.
  input.SuppressExternalCodecs = TRUE;
  const int status = Gdiplus::GdiplusStartup(&gToken, &input, nullptr);
  if (status != Gdiplus::Ok) return Status(status);
  gSessions = 1;
  return kOk;
}

void shutdown() noexcept {
  if (gSessions == 0) return;
  if (--gSessions == 0) Gdiplus::GdiplusShutdown(gToken);
}

namespace {

// Recognises the file before GDI+ sees it, by its first bytes; `expectedRaw` is the raw format
// GDI+ must then report.
Status recognise(const std::string& fileName, const std::wstring& name, uint32_t& expectedRaw) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return openStatusOf(GetLastError());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kAccessDenied;
  // Shared reading only: no one can change the file until GDI+ has it.
  HandleCloser file{CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) return openStatusOf(GetLastError());
  if (GetFileType(file.handle) != FILE_TYPE_DISK) return kGenericError;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.handle, &size)) return kGenericError;
  if (size.QuadPart == 0) return kUnknownImageFormat;
  std::unique_ptr<MappedFile> bytes;
  try {
    bytes = std::make_unique<MappedFile>(fileName);
  } catch (const RawLayerException&) {
    return kGenericError;
  }
  const SourceFormat format = detectFormat(bytes->view(), bytes->size());
  expectedRaw = rawFormatOf(format);
  if (expectedRaw == 0) return kUnknownImageFormat;
  // CMYK is refused from the file's own description: GDI+ may convert it without a word.
  const std::vector<OwnedPropertyItem> tiffItems =
      format == SourceFormat::kTiff ? readTiffProperties(bytes->view(), bytes->size())
                                    : std::vector<OwnedPropertyItem>();
  if (storesCmyk(format, bytes->view(), bytes->size(), tiffItems)) return kUnknownImageFormat;
  return kOk;
}

// Checks what GDI+ made of the file: a bitmap of the recognised format, of a size within the cap
// and of a pixel format that is read.
Status describe(uint32_t expectedRaw, Picture::Impl& picture) {
  GUID raw{};
  Gdiplus::ImageType type = Gdiplus::ImageTypeUnknown;
  if (gdip::GdipGetImageRawFormat(picture.bitmap, &raw) != Gdiplus::Ok ||
      gdip::GdipGetImageType(picture.bitmap, &type) != Gdiplus::Ok ||
      type != Gdiplus::ImageTypeBitmap || std::memcmp(raw.Data4, kRawTail, sizeof kRawTail) != 0 ||
      // Wine's GDI+ reports the frame of an icon as a BMP.
      (raw.Data1 != expectedRaw && !(expectedRaw == kRawIcon && raw.Data1 == kRawBmp))) {
    return kUnknownImageFormat;
  }
  UINT width = 0, height = 0, flags = 0;
  Gdiplus::PixelFormat native = 0;
  int status = gdip::GdipGetImageWidth(picture.bitmap, &width);
  if (status == Gdiplus::Ok) status = gdip::GdipGetImageHeight(picture.bitmap, &height);
  if (status == Gdiplus::Ok) status = gdip::GdipGetImagePixelFormat(picture.bitmap, &native);
  if (status == Gdiplus::Ok) status = gdip::GdipGetImageFlags(picture.bitmap, &flags);
  if (status != Gdiplus::Ok) return Status(status);
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return kGenericError;
  if ((gMaxSide && (width > gMaxSide || height > gMaxSide)) ||
      (gMaxPixels && uint64_t{width} * height > gMaxPixels)) {
    return kOutOfMemory;
  }
  if (flags & (Gdiplus::ImageFlagsColorSpaceCMYK | Gdiplus::ImageFlagsColorSpaceYCCK)) {
    return kUnknownImageFormat;
  }
  picture.width = width;
  picture.height = height;
  picture.pixelFormat = readableFormat(uint32_t(native));
  return picture.pixelFormat == 0 ? kUnknownImageFormat : kOk;
}

// Appends the item `id` to `items`. GDI+ writes the item's header and its value behind it into
// `buffer`.
Status readItem(Gdiplus::GpBitmap* bitmap, PROPID id, UINT size, std::vector<uint8_t>& buffer,
                std::vector<OwnedPropertyItem>& items) {
  if (buffer.size() < size) buffer.resize(size);
  if (size < sizeof(Gdiplus::PropertyItem)) return kInsufficientBuffer;
  auto* native = reinterpret_cast<Gdiplus::PropertyItem*>(buffer.data());
  const int status = gdip::GdipGetPropertyItem(bitmap, id, size, native);
  if (status != Gdiplus::Ok) return Status(status);
  const auto* value = static_cast<const uint8_t*>(native->value);
  OwnedPropertyItem item;
  item.id = native->id;
  item.type = native->type;
  item.count = native->length;
  if (native->length != 0) item.value.assign(value, value + native->length);
  items.push_back(std::move(item));
  return kOk;
}

// The palette of an indexed bitmap.
Status readPalette(Gdiplus::GpBitmap* bitmap, std::vector<uint32_t>& palette) {
  INT size = 0;
  int status = gdip::GdipGetImagePaletteSize(bitmap, &size);
  if (status != Gdiplus::Ok) return Status(status);
  if (size < INT(sizeof(Gdiplus::ColorPalette))) return kInsufficientBuffer;
  // The palette header and its entries, in 32-bit units for the alignment GDI+ expects.
  std::vector<uint32_t> block((size_t(size) + 3) / 4);
  status = gdip::GdipGetImagePalette(bitmap, reinterpret_cast<Gdiplus::ColorPalette*>(block.data()),
                                     size);
  if (status != Gdiplus::Ok) return Status(status);
  // Flags, count, then the entries.
  static_assert(offsetof(Gdiplus::ColorPalette, Entries) == 8);
  const uint32_t count = std::min<uint32_t>(block[1], uint32_t(block.size() - 2));
  palette.assign(block.begin() + 2, block.begin() + 2 + count);
  return kOk;
}

// A palette entry in 16-bit RGBA, opaque whatever its alpha; an index past the palette is
// transparent black.
inline void putPaletteColour(uint16_t* out, const std::vector<uint32_t>& palette, uint32_t index) {
  if (index < palette.size()) {
    const uint32_t argb = palette[index];
    out[0] = uint16_t(((argb >> 16) & 0xFF) * 257);
    out[1] = uint16_t(((argb >> 8) & 0xFF) * 257);
    out[2] = uint16_t((argb & 0xFF) * 257);
    out[3] = 65535;
  } else {
    out[0] = out[1] = out[2] = out[3] = 0;
  }
}

}  // namespace

Status Picture::open(const std::string& fileName, std::unique_ptr<Picture>& picture) {
  picture.reset();
  if (gSessions == 0) return kNotInitialized;
  try {
    const std::wstring name = tessel::platform::widen(fileName);
    uint32_t expectedRaw = 0;
    Status status = recognise(fileName, name, expectedRaw);
    if (status != kOk) return status;
    auto impl = std::make_unique<Impl>();
    const int created = gdip::GdipCreateBitmapFromFile(name.c_str(), &impl->bitmap);
    if (created != Gdiplus::Ok) {
      impl->bitmap = nullptr;
      return Status(created);
    }
    status = describe(expectedRaw, *impl);
    if (status != kOk) return status;
    const Impl& shape = *impl;
    picture =
        std::make_unique<Picture>(std::move(impl), shape.width, shape.height, shape.pixelFormat);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

// An item whose size GDI+ cannot tell ends the list quietly; every other failure is the caller's.
Status Picture::readProperties(std::vector<OwnedPropertyItem>& items) const {
  items.clear();
  UINT count = 0;
  int status = gdip::GdipGetPropertyCount(impl_->bitmap, &count);
  if (status != Gdiplus::Ok) return Status(status);
  std::vector<PROPID> ids(count);
  if (count != 0) status = gdip::GdipGetPropertyIdList(impl_->bitmap, count, ids.data());
  if (status != Gdiplus::Ok) return Status(status);
  std::vector<uint8_t> buffer;
  for (const PROPID id : ids) {
    UINT size = 0;
    status = gdip::GdipGetPropertyItemSize(impl_->bitmap, id, &size);
    if (status == kPropertyNotFound || status == kWin32Error) break;
    if (status != Gdiplus::Ok) return Status(status);
    status = readItem(impl_->bitmap, id, size, buffer, items);
    if (status != Gdiplus::Ok) return Status(status);
  }
  return kOk;
}

Status Picture::preparePixels() {
  if (impl_->isLocked) return kOk;
  const Gdiplus::Rect whole(0, 0, INT(impl_->width), INT(impl_->height));
  const int status =
      gdip::GdipBitmapLockBits(impl_->bitmap, &whole, Gdiplus::ImageLockModeRead,
                               Gdiplus::PixelFormat(impl_->pixelFormat), &impl_->locked);
  if (status != Gdiplus::Ok) return Status(status);
  impl_->isLocked = true;
  try {
    if (isIndexed(impl_->pixelFormat)) {
      const Status palette = readPalette(impl_->bitmap, impl_->palette);
      if (palette != kOk) return palette;
    }
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  // The rows must come in one of the formats that readRow converts.
  const uint32_t format = uint32_t(impl_->locked.PixelFormat);
  return readableFormat(format) == format ? kOk : kUnknownImageFormat;
}

void Picture::readRow(uint32_t y, uint16_t* o) const {
  const Gdiplus::BitmapData& data = impl_->locked;
  const uint8_t* row = static_cast<const uint8_t*>(data.Scan0) + ptrdiff_t(y) * data.Stride;
  const std::vector<uint32_t>& palette = impl_->palette;
  for (uint32_t x = 0; x < data.Width; ++x, o += 4) {
    switch (data.PixelFormat) {
      case kFormat64bppARGB:
      case kFormat48bppRGB: {
        const uint8_t* p = row + (data.PixelFormat == kFormat48bppRGB ? 6 : 8) * x;
        o[0] = deepSample(p + 4), o[1] = deepSample(p + 2), o[2] = deepSample(p);
        o[3] = data.PixelFormat == kFormat48bppRGB ? 65535 : deepSample(p + 6);
        break;
      }
      case kFormat32bppARGB:
      case kFormat32bppRGB:
      case kFormat24bppRGB: {
        const uint8_t* p = row + (data.PixelFormat == kFormat24bppRGB ? 3 : 4) * x;
        o[0] = uint16_t(p[2] * 257), o[1] = uint16_t(p[1] * 257), o[2] = uint16_t(p[0] * 257);
        o[3] = data.PixelFormat == kFormat32bppARGB ? uint16_t(p[3] * 257) : 65535;
        break;
      }
      case kFormat8bppIndexed:
        putPaletteColour(o, palette, row[x]);
        break;
      case kFormat4bppIndexed:
        putPaletteColour(o, palette, (row[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0x0F);
        break;
      default:
        putPaletteColour(o, palette, (row[x / 8] >> (7 - x % 8)) & 1);
        break;
    }
  }
}

}  // namespace tessel::imaging
