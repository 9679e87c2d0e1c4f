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
    case kFormat32bppPARGB:
      return kFormat32bppARGB;
    case kFormat16bppGrayScale:
      return kFormat48bppRGB;
    case PixelFormat64bppPARGB:
      return kFormat64bppARGB;
    default:
      return 0;
  }
}

bool isIndexed(uint32_t format) {
  return format == kFormat1bppIndexed || format == kFormat4bppIndexed ||
         format == kFormat8bppIndexed;
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

}  // namespace

void limitImageSize(uint64_t maxPixels, uint32_t maxSide) {
  gMaxPixels = maxPixels;
  gMaxSide = maxSide;
}

struct Bitmap::Impl {
  Gdiplus::GpBitmap* bitmap = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixelFormat = 0;  // the format the bitmap is read in
  Gdiplus::BitmapData locked{};
  bool isLocked = false;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (isLocked) gdip::GdipBitmapUnlockBits(bitmap, &locked);
    if (bitmap) gdip::GdipDisposeImage(bitmap);
  }
};

Bitmap::Bitmap(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Bitmap::~Bitmap() = default;

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

Status Bitmap::createFromFile(const std::string& fileName, std::unique_ptr<Bitmap>& bitmap) {
  bitmap.reset();
  if (gSessions == 0) return kNotInitialized;
  try {
    const std::wstring name = tessel::platform::widen(fileName);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return openStatusOf(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kAccessDenied;

    // Shared reading only: no one can change the file until GDI+ has it.
    HandleCloser file{CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
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
    const uint32_t expectedRaw = rawFormatOf(format);
    if (expectedRaw == 0) return kUnknownImageFormat;
    // CMYK is refused from the file's own description: GDI+ may convert it without a word.
    const std::vector<OwnedPropertyItem> tiffItems =
        format == SourceFormat::kTiff ? readTiffProperties(bytes->view(), bytes->size())
                                      : std::vector<OwnedPropertyItem>();
    if (storesCmyk(format, bytes->view(), bytes->size(), tiffItems)) return kUnknownImageFormat;

    auto impl = std::make_unique<Impl>();
    int status = gdip::GdipCreateBitmapFromFile(name.c_str(), &impl->bitmap);
    if (status != Gdiplus::Ok) {
      impl->bitmap = nullptr;
      return Status(status);
    }
    GUID raw{};
    Gdiplus::ImageType type = Gdiplus::ImageTypeUnknown;
    if (gdip::GdipGetImageRawFormat(impl->bitmap, &raw) != Gdiplus::Ok ||
        gdip::GdipGetImageType(impl->bitmap, &type) != Gdiplus::Ok ||
        type != Gdiplus::ImageTypeBitmap ||
        std::memcmp(raw.Data4, kRawTail, sizeof kRawTail) != 0 ||
        // Wine's GDI+ reports the frame of an icon as a BMP.
        (raw.Data1 != expectedRaw && !(expectedRaw == kRawIcon && raw.Data1 == kRawBmp))) {
      return kUnknownImageFormat;
    }

    UINT width = 0, height = 0, flags = 0;
    Gdiplus::PixelFormat native = 0;
    status = gdip::GdipGetImageWidth(impl->bitmap, &width);
    if (status == Gdiplus::Ok) status = gdip::GdipGetImageHeight(impl->bitmap, &height);
    if (status == Gdiplus::Ok) status = gdip::GdipGetImagePixelFormat(impl->bitmap, &native);
    if (status == Gdiplus::Ok) status = gdip::GdipGetImageFlags(impl->bitmap, &flags);
    if (status != Gdiplus::Ok) return Status(status);
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return kGenericError;
    if ((gMaxSide && (width > gMaxSide || height > gMaxSide)) ||
        (gMaxPixels && uint64_t{width} * height > gMaxPixels)) {
      return kOutOfMemory;
    }
    if (flags & (Gdiplus::ImageFlagsColorSpaceCMYK | Gdiplus::ImageFlagsColorSpaceYCCK)) {
      return kUnknownImageFormat;
    }
    impl->width = width;
    impl->height = height;
    impl->pixelFormat = readableFormat(uint32_t(native));
    if (impl->pixelFormat == 0) return kUnknownImageFormat;
    bitmap.reset(new Bitmap(std::move(impl)));
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

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
  UINT n = 0;
  const int status = gdip::GdipGetPropertyCount(impl_->bitmap, &n);
  count = n;
  return Status(status);
}

Status Bitmap::getPropertyIdList(uint32_t count, uint32_t* ids) const {
  if (count == 0) return kOk;
  if (!ids) return kInvalidParameter;
  static_assert(sizeof(PROPID) == sizeof(uint32_t));
  return Status(gdip::GdipGetPropertyIdList(impl_->bitmap, count, reinterpret_cast<PROPID*>(ids)));
}

Status Bitmap::getPropertyItemSize(uint32_t id, uint32_t& size) const {
  UINT n = 0;
  const int status = gdip::GdipGetPropertyItemSize(impl_->bitmap, id, &n);
  size = n;
  return Status(status);
}

Status Bitmap::getPropertyItem(uint32_t id, uint32_t size, std::vector<uint8_t>& buffer,
                               PropertyItem& item) const {
  // GDI+ writes the item's header and its value behind it into the buffer.
  if (size < sizeof(Gdiplus::PropertyItem) || buffer.size() < size) return kInsufficientBuffer;
  auto* native = reinterpret_cast<Gdiplus::PropertyItem*>(buffer.data());
  const int status = gdip::GdipGetPropertyItem(impl_->bitmap, id, size, native);
  if (status != Gdiplus::Ok) return Status(status);
  item.id = native->id;
  item.type = native->type;
  item.length = native->length;
  item.value = static_cast<const uint8_t*>(native->value);
  return kOk;
}

Status Bitmap::lockBits(const Rect& rect, uint32_t mode, uint32_t format, BitmapData& data) {
  if (impl_->isLocked) return kWrongState;
  if (rect.x != 0 || rect.y != 0 || rect.width < 0 || rect.height < 0 ||
      uint32_t(rect.width) != impl_->width || uint32_t(rect.height) != impl_->height ||
      mode != kLockModeRead || format != impl_->pixelFormat) {
    return kInvalidParameter;
  }
  const Gdiplus::Rect whole(0, 0, rect.width, rect.height);
  const int status = gdip::GdipBitmapLockBits(impl_->bitmap, &whole, Gdiplus::ImageLockModeRead,
                                              Gdiplus::PixelFormat(format), &impl_->locked);
  if (status != Gdiplus::Ok) return Status(status);
  impl_->isLocked = true;
  data.width = impl_->locked.Width;
  data.height = impl_->locked.Height;
  data.stride = impl_->locked.Stride;
  data.pixelFormat = uint32_t(impl_->locked.PixelFormat);
  data.scan0 = static_cast<const uint8_t*>(impl_->locked.Scan0);
  return kOk;
}

Status Bitmap::unlockBits(BitmapData& data) {
  if (!impl_->isLocked) return kWrongState;
  const int status = gdip::GdipBitmapUnlockBits(impl_->bitmap, &impl_->locked);
  impl_->isLocked = false;
  data.scan0 = nullptr;
  return Status(status);
}

Status Bitmap::getPaletteSize(int32_t& size) const {
  if (!isIndexed(impl_->pixelFormat)) return kInvalidParameter;
  INT n = 0;
  const int status = gdip::GdipGetImagePaletteSize(impl_->bitmap, &n);
  size = n;
  return Status(status);
}

Status Bitmap::getPalette(ColorPalette& palette, int32_t size) const {
  if (!isIndexed(impl_->pixelFormat)) return kInvalidParameter;
  if (size < int32_t(sizeof(Gdiplus::ColorPalette))) return kInsufficientBuffer;
  try {
    // The palette header and its entries, in 32-bit units for the alignment GDI+ expects.
    std::vector<uint32_t> block((size_t(size) + 3) / 4);
    auto* native = reinterpret_cast<Gdiplus::ColorPalette*>(block.data());
    const int status = gdip::GdipGetImagePalette(impl_->bitmap, native, size);
    if (status != Gdiplus::Ok) return Status(status);
    // Flags, count, then the entries.
    static_assert(offsetof(Gdiplus::ColorPalette, Entries) == 8);
    palette.flags = block[0];
    palette.count = std::min<uint32_t>(block[1], uint32_t(block.size() - 2));
    palette.entries.assign(block.begin() + 2, block.begin() + 2 + palette.count);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

}  // namespace tessel::imaging
