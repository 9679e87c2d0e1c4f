#include "exif/tag_names.h"
#include "core/byte_order.h"

#include <cstring>
#include <iterator>

#include "core/property_list.h"
#include "core/text.h"
#include "exif/tiff_directory.h"

namespace tessel {

namespace {

// One tag: its name in the Exif listing (null for a tag it has no name for), and for the
// descriptive tags that image sources copy into an image's property list, the name the decode
// report gives the property (`kCopied`); the private tags of the decoder have a property name only.
struct TagRow {
  uint32_t tag;
  const char* name;
  const char* propertyName = nullptr;
  bool copied = false;
};
constexpr bool kCopied = true;

// Ascending by tag. Searched from the first row; the first matching row gives the name.
constexpr TagRow kTagNames[] = {
    // IFD0, IFD1, Exif and Interoperability directories.
    {0x1, "InteropIndex"},
    {0x2, "InteropVersion"},
    {0x100, "ImageWidth"},
    {0x101, "ImageLength"},
    {0x102, "BitsPerSample"},
    {0x103, "Compression"},
    {0x106, "PhotometricInterpretation"},
    {0x10a, "FillOrder"},
    {0x10d, "DocumentName", "Document Name", kCopied},
    {0x10e, "ImageDescription", "Image Description", kCopied},
    {0x10f, "Make", "Make", kCopied},
    {0x110, "Model", "Model", kCopied},
    {0x111, "StripOffsets"},
    {0x112, "Orientation", "Orientation", kCopied},
    {0x115, "SamplesPerPixel"},
    {0x116, "RowsPerStrip"},
    {0x117, "StripByteCounts"},
    {0x11a, "XResolution", "X Resolution", kCopied},
    {0x11b, "YResolution", "Y Resolution", kCopied},
    {0x11c, "PlanarConfiguration"},
    {0x128, "ResolutionUnit", "Resolution Unit", kCopied},
    {0x12d, "TransferFunction"},
    {0x131, "Software", "Software", kCopied},
    {0x132, "DateTime", "Date Time", kCopied},
    {0x13b, "Artist", "Artist", kCopied},
    {0x13e, "WhitePoint"},
    {0x13f, "PrimaryChromaticities"},
    {0x156, "TransferRange"},
    {0x200, "JPEGProc"},
    {0x201, "ThumbnailOffset"},
    {0x202, "ThumbnailLength"},
    {0x211, "YCbCrCoefficients"},
    {0x212, "YCbCrSubSampling"},
    {0x213, "YCbCrPositioning"},
    {0x214, "ReferenceBlackWhite"},
    {0x1001, "RelatedImageWidth"},
    {0x1002, "RelatedImageLength"},
    {0x828d, "CFARepeatPatternDim"},
    {0x828e, "CFAPattern"},
    {0x828f, "BatteryLevel"},
    {0x8298, "Copyright", "Copyright", kCopied},
    {0x829a, "ExposureTime"},
    {0x829d, "FNumber"},
    {0x83bb, "IPTC/NAA"},
    {0x8769, "ExifOffset"},
    {0x8773, "InterColorProfile"},
    {0x8822, "ExposureProgram"},
    {0x8824, "SpectralSensitivity"},
    {0x8825, "GPS Dir offset"},
    {0x8827, "ISOSpeedRatings"},
    {0x8828, "OECF"},
    {0x9000, "ExifVersion"},
    {0x9003, "DateTimeOriginal", "Date Time Original", kCopied},
    {0x9004, "DateTimeDigitized", "Date Time Digitized", kCopied},
    {0x9101, "ComponentsConfiguration"},
    {0x9102, "CompressedBitsPerPixel"},
    {0x9201, "ShutterSpeedValue"},
    {0x9202, "ApertureValue"},
    {0x9203, "BrightnessValue"},
    {0x9204, "ExposureBiasValue"},
    {0x9205, "MaxApertureValue"},
    {0x9206, "SubjectDistance"},
    {0x9207, "MeteringMode"},
    {0x9208, "LightSource"},
    {0x9209, "Flash"},
    {0x920a, "FocalLength"},
    {0x927c, "MakerNote"},
    {0x9286, "UserComment"},
    {0x9290, "SubSecTime"},
    {0x9291, "SubSecTimeOriginal"},
    {0x9292, "SubSecTimeDigitized"},
    {0xa000, "FlashPixVersion"},
    {0xa001, "ColorSpace"},
    {0xa002, "ExifImageWidth"},
    {0xa003, "ExifImageLength"},
    {0xa004, "RelatedAudioFile"},
    {0xa005, "InteroperabilityOffset"},
    {0xa20b, "FlashEnergy"},
    {0xa20c, "SpatialFrequencyResponse"},
    {0xa20e, "FocalPlaneXResolution"},
    {0xa20f, "FocalPlaneYResolution"},
    {0xa210, "FocalPlaneResolutionUnit"},
    {0xa214, "SubjectLocation"},
    {0xa215, "ExposureIndex"},
    {0xa217, "SensingMethod"},
    {0xa300, "FileSource"},
    {0xa301, "SceneType"},
    {0xa302, "CFA Pattern"},
    {0xa401, "CustomRendered"},
    {0xa402, "ExposureMode"},
    {0xa403, "WhiteBalance"},
    {0xa404, "DigitalZoomRatio"},
    {0xa405, "FocalLengthIn35mmFilm"},
    {0xa406, "SceneCaptureType"},
    {0xa407, "GainControl"},
    {0xa408, "Contrast"},
    {0xa409, "Saturation"},
    {0xa40a, "Sharpness"},
    {0xa40c, "SubjectDistanceRange"},
    {0xc4a5, "PrintIM"},
    // Private tags of the decoded image's property list.
    {0xc000, nullptr, "Pixel Format"},
    {0xc001, nullptr, "Compression Mode"},
    // Canon maker note.
    {0x20001, "Canon Camera Settings"},
    {0x20002, "Canon Focal Length"},
    {0x20003, "Canon Flash Info"},
    {0x20004, "Canon Shot Info"},
    {0x20005, "Canon Panorama"},
    {0x20006, "Canon Image Type"},
    {0x20007, "Canon Firmware Version"},
    {0x20008, "Canon File Number"},
    {0x20009, "Canon Owner Name"},
    {0x2000a, "Canon Color Info D30"},
    {0x2000c, "Canon Camera Serial Number"},
    {0x2000d, "Canon Camera Info"},
    {0x2000e, "Canon File Length"},
    {0x2000f, "Canon Custom Functions"},
    {0x20010, "Canon Model ID"},
    {0x20012, "Canon Picture Info"},
    {0x20015, "Canon Serial Number Format"},
    {0x2001e, "Canon Firmware Revision"},
    {0x20083, "Canon Original Decision Data"},
    {0x20090, "Canon Custom Functions"},
    {0x20091, "Canon Personal Functions"},
    {0x20092, "Canon Personal Function Values"},
    {0x20093, "Canon File Info"},
    {0x20094, "Canon AF Points Used"},
    {0x20095, "Canon Lens Type"},
    {0x20096, "Canon Internal Serial Number"},
    {0x20097, "Canon Dust Removal Data"},
    {0x200a0, "Canon Proccessing Info"},
    {0x200e0, "Canon Sensor Info"},
    {0x24001, "Canon Color Balance"},
    {0x24003, "Canon Color Info"},
    // GPS directory.
    {0x30001, "Latitude Ref"},
    {0x30002, "Latitude"},
    {0x30003, "Longitude Ref"},
    {0x30004, "Longitude"},
    {0x30005, "Altitude Ref"},
    {0x30006, "Altitude"},
    {0x30007, "UTC Time"},
    {0x30008, "Number of Satellites"},
    {0x30009, "Receiver Status"},
    {0x30010, "Direction Ref"},
    {0x30011, "Direction"},
    {0x30012, "Map Datum"},
    {0x3001d, "UTC Date"},
    // Multi-picture index and attributes.
    {0x4b000, "MPFVersion"},
    {0x4b001, "NumberOfImages"},
    {0x4b002, "MPEntry"},
    {0x4b003, "ImageUIDList"},
    {0x4b004, "TotalFrames"},
    {0x4b101, "MPIndividualNum"},
    {0x4b201, "PanOrientation"},
    {0x4b202, "PanOverlapH"},
    {0x4b203, "PanOverlapV"},
    {0x4b204, "BaseViewpointNum"},
    {0x4b205, "ConvergenceAngle"},
    {0x4b206, "BaselineLength"},
    {0x4b207, "VerticalDivergence"},
    {0x4b208, "AxisDistanceX"},
    {0x4b209, "AxisDistanceY"},
    {0x4b20a, "AxisDistanceZ"},
    {0x4b20b, "YawAngle"},
    {0x4b20c, "PitchAngle"},
    {0x4b20d, "RollAngle"},
};

}  // namespace

const char* tagName(uint32_t tag) {
  for (const TagRow& row : kTagNames) {
    if (row.tag == tag && row.name) return row.name;
  }
  return "???";
}

const char* propertyName(uint32_t tag) {
  for (const TagRow& row : kTagNames) {
    if (row.tag == tag && row.propertyName) return row.propertyName;
  }
  return "???";
}

bool isImagePropertyTag(uint32_t tag) noexcept {
  for (const TagRow& row : kTagNames) {
    if (row.tag == tag) return row.copied;
  }
  return false;
}

void printDirectory(const TIFFDirectory& directory, const uint8_t* base, int level,
                    std::ostream& out) {
  indent(level, out);
  writef(out, "TIFF data in %s order\n", directory.bigEndian ? "Motorola" : "Intel");
  for (const auto& entry : directory.entries) entry->print(base, level, out, directory.bigEndian);
}

void printEntryHeading(const TIFFEntry& entry, const uint8_t* base, int level, std::ostream& out) {
  const int64_t first = entry.value - base;
  const int64_t last = first + int64_t{typeSizeOrZero(entry.type)} * entry.count - 1;
  indent(level, out);
  writef(out, "Tag 0x%x \"%s\" (value bytes %lld - %lld):\n", entry.tag & 0xFFFF,
         tagName(entry.tag), static_cast<long long>(first), static_cast<long long>(last));
}

void TIFFEntry::print(const uint8_t* base, int level, std::ostream& out, bool bigEndian) const {
  printEntryHeading(*this, base, level, out);
  indent(level, out);
  printTypedValues(out, type, count, value, bigEndian);
  out << '\n';
}

void TIFFNestedDir::print(const uint8_t* base, int level, std::ostream& out, bool) const {
  indent(level, out);
  writef(out, "%s:\n", tagName(tag));
  printDirectory(directory, base, level + 1, out);
}

void SonyMakerNote::print(const uint8_t* base, int level, std::ostream& out, bool) const {
  indent(level, out);
  out << "Sony MakerNote:\n";
  printDirectory(directory, base, level + 1, out);
}

void CanonMakerNote::print(const uint8_t* base, int level, std::ostream& out, bool) const {
  indent(level, out);
  out << "Canon MakerNote:\n";
  printDirectory(directory, base, level + 1, out);
}

}  // namespace tessel
