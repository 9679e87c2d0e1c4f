// jpgmerge end to end, as a user runs it, against independent tools. Real camera JPEGs are the
// metadata sources; the image sources are pictures made here in code and written as PNG, TIFF,
// BMP and JPEG files by GraphicsMagick, cjpeg and exiftool. Each output must decode without a
// warning in libjpeg-turbo at the metadata source's frame size and show the image source's
// pixels; exiv2 must read the metadata source's metadata from it, but for the new thumbnail's
// length and the -t dates; the thumbnail must decode at its old size; the segments up to the
// scan must be the source's, DHT and Exif excepted and DRI dropped; the file times must be the
// metadata source's. Every failing run must leave the directory exactly as it was.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <numeric>
#include <sstream>

#include "core/messages.h"
#include "exif/messages.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder/resample.h"
#include "jpeg/encoder_test_support.h"
#include "jpeg/markers/messages.h"

namespace tessel {
namespace {

using test::Bytes;
using test::TempDir;
namespace fs = std::filesystem;

constexpr char kDate[] = "2001:02:03 04:05:06";

// --- Pictures made in code ----------------------------------------------------------------------

// Samples on the 0..255 scale, kept unrounded where the expected value is not a whole level
// (alpha composites, 16-bit sources, resampled pixels).
struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<float> rgb;
  const float* at(uint32_t x, uint32_t y) const { return &rgb[(size_t{y} * width + x) * 3]; }
  float* at(uint32_t x, uint32_t y) { return &rgb[(size_t{y} * width + x) * 3]; }
};

// Smooth colour ramps running in different directions, a wave in blue, a dark square and a light
// disc off the centre: no symmetry, so a turned, mirrored or channel-swapped result is far off,
// while the chroma stays smooth enough for subsampling to cost little.
Picture makePicture(uint32_t width, uint32_t height) {
  Picture p{width, height, std::vector<float>(size_t{width} * height * 3)};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double fx = (x + 0.5) / width, fy = (y + 0.5) / height;
      double r = 30 + 190 * fx, g = 40 + 170 * fy;
      double b = 140 + 80 * std::sin(6.2832 * (1.3 * fx + 0.7 * fy));
      if (fx > 0.1 && fx < 0.35 && fy > 0.15 && fy < 0.45) r *= 0.3, g *= 0.3, b *= 0.3;
      if ((fx - 0.7) * (fx - 0.7) + (fy - 0.65) * (fy - 0.65) < 0.02) r = 235, g = 225, b = 200;
      float* out = p.at(x, y);
      out[0] = float(std::lround(r)), out[1] = float(std::lround(g)),
      out[2] = float(std::lround(b));
    }
  }
  return p;
}

// Turned by 90 degrees: clockwise, pixel (x, y) goes to row x, column (height - 1 - y).
Picture turned(const Picture& in, bool clockwise) {
  Picture out{in.height, in.width, std::vector<float>(in.rgb.size())};
  for (uint32_t y = 0; y < in.height; ++y) {
    for (uint32_t x = 0; x < in.width; ++x) {
      const uint32_t row = clockwise ? x : in.width - 1 - x;
      const uint32_t column = clockwise ? in.height - 1 - y : y;
      std::copy(in.at(x, y), in.at(x, y) + 3, out.at(column, row));
    }
  }
  return out;
}

Picture fromTurbo(const test::TurboImage& image) {
  return {image.width, image.height, std::vector<float>(image.rgb.begin(), image.rgb.end())};
}

// Binary PPM (or PAM with an alpha plane): 8-bit, or 16-bit with v x 257 rounded.
void writeNetpbm(const std::string& path, const Picture& p, bool sixteen = false,
                 const std::vector<uint8_t>* alpha = nullptr) {
  std::ostringstream header;
  const int maxval = sixteen ? 65535 : 255;
  if (alpha) {
    header << "P7\nWIDTH " << p.width << "\nHEIGHT " << p.height << "\nDEPTH 4\nMAXVAL " << maxval
           << "\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  } else {
    header << "P6\n" << p.width << " " << p.height << "\n" << maxval << "\n";
  }
  const std::string text = header.str();
  Bytes bytes(text.begin(), text.end());
  auto put = [&](float v) {
    const unsigned value = unsigned(std::lround(sixteen ? v * 257 : v));
    if (sixteen) bytes.push_back(uint8_t(value >> 8));
    bytes.push_back(uint8_t(value));
  };
  for (size_t i = 0; i < size_t{p.width} * p.height; ++i) {
    for (int c = 0; c < 3; ++c) put(p.rgb[3 * i + c]);
    if (alpha) put((*alpha)[i]);
  }
  test::writeFile(path, bytes);
}

// The picture as an opaque PixelImage, for the project's own resampling.
PixelImage toPixelImage(const Picture& p) {
  return test::makeImage(p.width, p.height, [&](uint32_t x, uint32_t y) {
    const float* s = p.at(x, y);
    return test::Rgba{uint16_t(s[0] * 257), uint16_t(s[1] * 257), uint16_t(s[2] * 257), 65535};
  });
}

// The project's resampling of `p` to width x height, composited over black as the encoder does
// (a resampled pixel whose sample points reach past the source edge is not opaque).
Picture resampledLikeTheEncoder(const Picture& p, uint32_t width, uint32_t height) {
  const PixelImage source = toPixelImage(p);
  PixelImage job, exact;
  ResampleJob::setUp(source, float(width) / float(p.width), float(height) / float(p.height), job)
      .run();
  const PixelImage* result = &job;
  if (job.width != width || job.height != height) {
    padOrCrop(job, width, height, exact);
    result = &exact;
  }
  Picture out{width, height, std::vector<float>(size_t{width} * height * 3)};
  for (size_t i = 0; i < size_t{width} * height; ++i) {
    const uint16_t* s = result->pixels.get() + 4 * i;
    for (int c = 0; c < 3; ++c) out.rgb[3 * i + c] = float(uint32_t{s[c]} * s[3] / 65535) / 257;
  }
  return out;
}

// --- Comparisons
// ----------------------------------------------------------------------------------

// Luma PSNR of a decoded JPEG against the expected pixels, with the encoder's own luma weights
// (76, 150, 29 / 255; a grey file has the plain average), unrounded.
double lumaPsnr(const Bytes& jpeg, const Picture& expected) {
  const test::TurboImage ycc = test::decodeWithTurbo(jpeg, false, true);
  if (!ycc.ok || ycc.width != expected.width || ycc.height != expected.height) return 0;
  const bool grey = ycc.components == 1;
  double sum = 0;
  for (size_t i = 0; i < expected.rgb.size(); i += 3) {
    const double r = expected.rgb[i], g = expected.rgb[i + 1], b = expected.rgb[i + 2];
    const double y = grey ? (r + g + b) / 3 : (76 * r + 150 * g + 29 * b) / 255;
    sum += (ycc.rgb[i] - y) * (ycc.rgb[i] - y);
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(expected.rgb.size() / 3) / sum);
}

double rgbPsnr(const test::TurboImage& decoded, const Picture& expected) {
  if (decoded.width != expected.width || decoded.height != expected.height) return 0;
  double sum = 0;
  for (size_t i = 0; i < expected.rgb.size(); ++i) {
    sum += std::pow(decoded.rgb[i] - double(expected.rgb[i]), 2);
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(expected.rgb.size()) / sum);
}

// The lowest luma PSNR that the quantization of `jpeg` allows. Each quantized coefficient is off
// by at most q/2, so by Parseval a block's luma is off by at most sqrt(sum q^2 / 256) per pixel
// (root mean square), whatever the picture; the decoder's float transform and its rounding to
// 8 bits add less than one level. Anything below this is a fault, not quantization.
double lumaBound(const Bytes& jpeg) {
  std::map<int, double> sumSquares;
  int lumaTable = -1;
  for (const auto& s : test::segmentsUpToScan(jpeg)) {
    const uint8_t* p = s.bytes.data() + 4;
    const size_t length = s.bytes.size() - 4;
    for (size_t pos = 0; s.code == 0xDB && pos < length; pos += p[pos] & 0x10 ? 129 : 65) {
      double sum = 0;
      for (int k = 0; k < 64; ++k) {
        const double q =
            p[pos] & 0x10 ? p[pos + 1 + 2 * k] << 8 | p[pos + 2 + 2 * k] : p[pos + 1 + k];
        sum += q * q;
      }
      sumSquares[p[pos] & 15] = sum;
    }
    if (s.code == 0xC0 && length >= 9) lumaTable = p[8];
  }
  if (!sumSquares.count(lumaTable)) return 1000;  // no frame or table: fails any comparison
  return 20 * std::log10(255.0 / (std::sqrt(sumSquares[lumaTable] / 256) + 1));
}

// The colour check. Chroma is halved in each direction in 4:2:0 files and quantized more coarsely
// than luma, and this encoder's Cb and Cr weights are not quite the inverse of the JFIF
// conversion that libjpeg-turbo applies (saturated colours move by about a level). On these
// smooth pictures with two sharp shapes that costs up to about 8 dB against the luma figures
// (measured 30 to 40 dB); a turned, mirrored or channel-swapped picture, or one read with the
// wrong scale, lies below 20 dB. 27 dB separates the two with room on both sides. Frames of
// fewer than 4096 pixels are left out: there the figure measures a handful of edge pixels.
constexpr double kRgbBound = 27.0;

// --- Running the program ---------------------------------------------------------------------

class Workspace {
 public:
  std::string file(const std::string& name) const { return dir_.file(name); }
  const std::string& path() const { return dir_.path(); }

  test::RunResult run(const std::string& command) const {
    return test::runShell("cd '" + dir_.path() + "' && " + command);
  }
  // Runs a tool that must succeed.
  void tool(const std::string& command) const {
    const auto result = run(command);
    ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
  }
  test::RunResult merge(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {TESSEL_JPGMERGE};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::runProgram(argv, dir_.path());
  }

  test::DirectorySnapshot snapshot() const { return test::snapshotDirectory(dir_.path()); }

 private:
  TempDir dir_;
};

bool haveTools(std::initializer_list<const char*> names, std::string& missing) {
  for (const char* name : names) {
    if (!test::haveTool(name)) {
      missing = name;
      return false;
    }
  }
  return true;
}

std::string baseName(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// The sample whose path ends in `relative`, or empty.
std::string sample(const std::string& relative) {
  static const std::vector<std::string> files = test::sampleFiles(".jpg");
  for (const auto& f : files) {
    if (f.size() > relative.size() &&
        f.compare(f.size() - relative.size(), relative.size(), relative) == 0 &&
        f[f.size() - relative.size() - 1] == '/') {
      return f;
    }
  }
  return "";
}

// exiv2 -pa as (key, whole line) records, in its order.
struct ExivRecord {
  std::string key, type, count, value;
  bool operator==(const ExivRecord&) const = default;
};
std::vector<ExivRecord> exivRecords(const Workspace& w, const std::string& name) {
  const auto result = w.run("exiv2 -q -pa '" + name + "'");
  std::vector<ExivRecord> records;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    ExivRecord r;
    fields >> r.key >> r.type >> r.count;
    std::getline(fields, r.value);
    r.value.erase(0, std::min(r.value.find_first_not_of(' '), r.value.size()));
    records.push_back(r);
  }
  return records;
}

std::ostream& operator<<(std::ostream& out, const ExivRecord& r) {
  return out << r.key << " " << r.type << " " << r.count << " " << r.value;
}

std::string exivValue(const std::vector<ExivRecord>& records, const std::string& key) {
  for (const auto& r : records) {
    if (r.key == key) return r.value;
  }
  return "0";
}

bool isExifApp1(const test::RawSegment& s) {
  return s.code == 0xE1 && s.bytes.size() >= 10 &&
         std::equal(s.bytes.begin() + 4, s.bytes.begin() + 10, "Exif\0\0");
}

// The class and number bytes of the tables of a DHT segment, in order.
Bytes tableHeaders(const Bytes& segment) {
  Bytes headers;
  for (size_t pos = 4; pos + 17 <= segment.size();) {
    headers.push_back(segment[pos]);
    pos += 17 + std::accumulate(segment.begin() + pos + 1, segment.begin() + pos + 17, size_t{0});
  }
  return headers;
}

// Segments up to the scan: the metadata source's in their order, DRI left out, DHT with the same
// tables under the same numbers, an Exif APP1 never shorter, every other segment (DQT, SOF, SOS,
// XMP, COM, APPn) byte for byte. The scan has no restart markers and the file ends with EOI.
void expectSourceSegments(const Bytes& source, const Bytes& output) {
  size_t scanStart = 0, o = 0;
  const auto out = test::segmentsUpToScan(output, &scanStart);
  for (const auto& in : test::segmentsUpToScan(source)) {
    if (in.code == 0xDD) continue;
    ASSERT_LT(o, out.size()) << "segment 0x" << std::hex << int(in.code) << " missing";
    const auto& written = out[o++];
    ASSERT_EQ(written.code, in.code) << "segment " << o;
    if (in.code == 0xC4) {
      EXPECT_EQ(tableHeaders(written.bytes), tableHeaders(in.bytes));
    } else if (isExifApp1(in)) {
      EXPECT_GE(written.bytes.size(), in.bytes.size());
    } else {
      EXPECT_EQ(written.bytes, in.bytes)
          << "segment " << o << ", code 0x" << std::hex << int(in.code);
    }
  }
  EXPECT_EQ(o, out.size());
  for (const auto& s : out) EXPECT_NE(s.code, 0xDD);
  EXPECT_TRUE(test::scanIsClean(output, scanStart));
}

// The Exif payload of the first Exif APP1 segment, or empty.
Bytes exifPayload(const Bytes& jpeg) {
  for (const auto& s : test::segmentsUpToScan(jpeg)) {
    if (isExifApp1(s)) return Bytes(s.bytes.begin() + 4, s.bytes.end());
  }
  return {};
}

// The output's Exif block against the source's: the same bytes up to the thumbnail but the four of
// the thumbnail length's value, then the new thumbnail, zeros up to the old thumbnail's end when
// the new one is shorter, and whatever followed the old thumbnail where the new one does not
// reach; the block grows only as far as the new thumbnail's end.
void expectExifBytes(const Bytes& source, const Bytes& output, size_t thumbnailOffset,
                     size_t oldLength, const Bytes& thumbnail) {
  const Bytes in = exifPayload(source), out = exifPayload(output);
  const size_t start = 6 + thumbnailOffset;  // the offset counts from the TIFF header
  ASSERT_LE(start, in.size());
  ASSERT_EQ(out.size(), std::max(in.size(), start + thumbnail.size()));
  std::vector<size_t> differing;
  for (size_t i = 0; i < start; ++i) {
    if (in[i] != out[i]) differing.push_back(i);
  }
  EXPECT_LE(differing.size(), 4u);
  if (!differing.empty()) {
    EXPECT_LT(differing.back() - differing.front(), 4u);
  }
  EXPECT_TRUE(std::equal(thumbnail.begin(), thumbnail.end(), out.begin() + start));
  const size_t newEnd = start + thumbnail.size(), oldEnd = std::min(start + oldLength, in.size());
  for (size_t i = newEnd; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i < oldEnd ? 0 : in[i]) << "Exif byte " << i;
  }
}

int64_t mtimeNs(const std::string& path) {
  struct stat s = {};
  ::stat(path.c_str(), &s);
  return int64_t(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
}

// A copy of a sample with modification and access times that have sub-second parts.
void copyWithTimes(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ::utimensat(AT_FDCWD, to.c_str(), times, 0);
}

// --- Real camera files as metadata sources
// --------------------------------------------------------

// Baseline files the merge takes: Canon, Sony, Nikon, Casio; II and MM Exif; with a thumbnail,
// with a 28-byte thumbnail that is no JPEG, and without one; DRI, COM, JFIF, XMP, APP13, APP14;
// 4:2:0, 4:2:2 and 4:4:4; frame sizes that are not whole MCUs.
const char* const kMetadataSources[] = {
    "maker-canon/Canon_PowerShot_S330.jpg",
    "maker-canon/Canon_IXUS_v3.jpg",
    "maker-canon/Canon_SX60HS_hdr_NO.jpg",
    "maker-sony/Sony_DSC-RX100M4.jpg",
    "maker-sony/Sony_DCR-PC120E.jpg",
    "maker-nikon/Nikon_E950.jpg",
    "maker-nikon/exiftool_NikonD70.jpg",
    "maker-other/Casio_EX-S1.jpg",
    "gps/DSCN0010.jpg",
    "gps/empty_gps_ifd.jpg",
    "restart/Sony_Cybershot_3.jpg",
};

std::vector<std::string> metadataSources() {
  std::vector<std::string> files;
  for (const char* name : kMetadataSources) {
    if (const std::string path = sample(name); !path.empty()) files.push_back(path);
  }
  // The folders named in TESSEL_EXTRA_SAMPLES: every JPEG there gets the whole check.
  for (const std::string& folder : test::sampleFolders()) {
    if (folder == TESSEL_DEFAULT_SAMPLES) continue;
    for (const auto& file : test::sampleFiles(".jpg")) {
      if (file.rfind(folder + "/", 0) == 0) files.push_back(file);
    }
  }
  return files;
}

bool isRefusal(const std::string& message) {
  return message == msg::kMergeBaselineOnly || message == msg::kMergeInvalidComponentId ||
         message.rfind(msg::kMergeUnsupportedSamplingOpen, 0) == 0;
}

class MergeWithRealMetadata : public ::testing::TestWithParam<std::string> {};

TEST_P(MergeWithRealMetadata, KeepsTheStructureAndTakesThePixels) {
  std::string missing;
  if (!haveTools({"gm", "exiv2", "exiftool"}, missing)) GTEST_SKIP() << missing << " missing";
  Workspace w;
  copyWithTimes(GetParam(), w.file("meta.jpg"));
  const Bytes source = test::readFile(w.file("meta.jpg"));
  const test::TurboImage header = test::decodeWithTurbo(source, true);
  ASSERT_TRUE(header.ok) << header.error;

  // An image source of the frame size, so the pixels go through without resampling.
  const Picture picture = makePicture(header.width, header.height);
  writeNetpbm(w.file("picture.ppm"), picture);
  w.tool("gm convert picture.ppm -depth 8 PNG24:image.png");

  const auto plain = w.merge({"-i", "image.png", "-m", "meta.jpg", "-o", "out.jpg"});
  if (plain.exitCode != 0 && plain.err.size() > 12 &&
      GetParam().rfind(TESSEL_DEFAULT_SAMPLES, 0) != 0) {
    // A file from TESSEL_EXTRA_SAMPLES that the merge refuses by design.
    const std::string message = plain.err.substr(11, plain.err.size() - 12);
    EXPECT_TRUE(isRefusal(message)) << plain.err;
    GTEST_SKIP() << "refused: " << message;
  }
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out + plain.err, "");
  const Bytes output = test::readFile(w.file("out.jpg"));

  // Decodes cleanly at the frame size; luma within the quantization's reach of the picture.
  const test::TurboImage decoded = test::decodeWithTurbo(output);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.warnings, 0);
  ASSERT_EQ(std::pair(decoded.width, decoded.height), std::pair(header.width, header.height));
  EXPECT_EQ(decoded.components, header.components);
  for (int c = 0; c < header.components; ++c) {
    EXPECT_EQ(decoded.samplingH[c] * 10 + decoded.samplingV[c],
              header.samplingH[c] * 10 + header.samplingV[c]);
  }
  EXPECT_GE(lumaPsnr(output, picture), lumaBound(output));
  if (header.components == 3 && header.width * header.height >= 4096) {
    EXPECT_GE(rgbPsnr(decoded, picture), kRgbBound);
  }

  expectSourceSegments(source, output);
  EXPECT_EQ(mtimeNs(w.file("out.jpg")), mtimeNs(w.file("meta.jpg")));

  // The metadata as exiv2 reads it: the source's, but the thumbnail's length.
  const auto before = exivRecords(w, "meta.jpg");
  const auto after = exivRecords(w, "out.jpg");
  const auto withoutLength = [](std::vector<ExivRecord> records) {
    std::erase_if(records, [](const ExivRecord& r) {
      return r.key == "Exif.Thumbnail.JPEGInterchangeFormatLength";
    });
    return records;
  };
  EXPECT_EQ(withoutLength(after), withoutLength(before));

  // The thumbnail: a new JPEG of the old one's frame size, made from the same picture.
  w.run("exiftool -b -ThumbnailImage meta.jpg > old_thumb.jpg");
  w.run("exiftool -b -ThumbnailImage out.jpg > new_thumb.jpg");
  const Bytes oldThumb = test::readFile(w.file("old_thumb.jpg"));
  const Bytes newThumb = test::readFile(w.file("new_thumb.jpg"));
  const test::TurboImage oldThumbHeader = test::decodeWithTurbo(oldThumb, true);
  if (oldThumb.size() > 100 && oldThumbHeader.ok) {
    const test::TurboImage thumb = test::decodeWithTurbo(newThumb);
    ASSERT_TRUE(thumb.ok) << thumb.error;
    EXPECT_EQ(thumb.warnings, 0);
    ASSERT_EQ(std::pair(thumb.width, thumb.height),
              std::pair(oldThumbHeader.width, oldThumbHeader.height));
    EXPECT_GE(lumaPsnr(newThumb, resampledLikeTheEncoder(picture, thumb.width, thumb.height)),
              lumaBound(newThumb));
    expectExifBytes(source, output,
                    std::stoul(exivValue(before, "Exif.Thumbnail.JPEGInterchangeFormat")),
                    oldThumb.size(), newThumb);
  } else {
    // No thumbnail, or one that is no JPEG: the Exif block is copied as it is.
    EXPECT_EQ(newThumb, oldThumb);
    EXPECT_EQ(after, before);
  }

  // With -t: the three dates that exist in the source carry the new text, nothing else moves.
  const auto dated = w.merge({"-i", "image.png", "-m", "meta.jpg", "-o", "dated.jpg", "-t", kDate});
  ASSERT_EQ(dated.exitCode, 0) << dated.err;
  const auto datedRecords = exivRecords(w, "dated.jpg");
  ASSERT_EQ(datedRecords.size(), after.size());
  for (size_t i = 0; i < after.size(); ++i) {
    ExivRecord expected = after[i];
    if (expected.key == "Exif.Image.DateTime" || expected.key == "Exif.Photo.DateTimeOriginal" ||
        expected.key == "Exif.Photo.DateTimeDigitized") {
      expected.value = kDate;
    }
    EXPECT_EQ(datedRecords[i], expected);
  }
  EXPECT_EQ(test::readFile(w.file("dated.jpg")).size(), output.size());
}

INSTANTIATE_TEST_SUITE_P(Samples, MergeWithRealMetadata, ::testing::ValuesIn(metadataSources()),
                         [](const auto& info) {
                           std::string name = baseName(info.param);
                           for (char& c : name) c = std::isalnum(uint8_t(c)) ? c : '_';
                           return name + "_" + std::to_string(info.index);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(MergeWithRealMetadata);

// Every sample as a metadata source, with a small image source: the merge either writes a file
// that libjpeg-turbo decodes cleanly at the frame size, or fails with one "Exception:" line and
// creates nothing. The files the merge refuses by design fail with exactly these messages.
TEST(MergeEverySample, WritesACleanFileOrRefusesWithoutTrace) {
  const auto files = test::sampleFiles(".jpg");
  if (files.empty()) GTEST_SKIP() << "no sample folder";
  std::string missing;
  if (!haveTools({"gm"}, missing)) GTEST_SKIP() << missing << " missing";
  const std::string sampling411 = std::string(msg::kMergeUnsupportedSamplingOpen) +
                                  " comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1" +
                                  msg::kMergeUnsupportedSamplingClose;
  const std::string sampling221212 = std::string(msg::kMergeUnsupportedSamplingOpen) +
                                     " comp 1: 2 x 2 comp 2: 1 x 2 comp 3: 1 x 2" +
                                     msg::kMergeUnsupportedSamplingClose;
  const std::string samplingGrey22 = std::string(msg::kMergeUnsupportedSamplingOpen) +
                                     " comp 1: 2 x 2" + msg::kMergeUnsupportedSamplingClose;
  const std::map<std::string, std::string> refused = {
      {"maker-sony/Sony_DSC-P12.jpg", msg::kMergeBaselineOnly},              // progressive
      {"maker-nikon/Nikon_D300_lens_data.jpg", msg::kMergeBaselineOnly},     // progressive
      {"progressive/Olympus_C750UZ_issue609.jpg", msg::kMergeBaselineOnly},  // progressive
      {"progressive/video-001.progressive.jpg", msg::kMergeBaselineOnly},
      {"progressive/video-005.gray.jpg", msg::kMergeBaselineOnly},
      {"progressive/mozilla_jpg-progressive.jpg", msg::kMergeBaselineOnly},
      {"unsupported/testimgari.jpg", msg::kMergeBaselineOnly},            // arithmetic coding
      {"unsupported/monkey12.jpg", msg::kMergeBaselineOnly},              // 12-bit extended
      {"unsupported/hopper_16bit_qtables.jpg", msg::kMergeBaselineOnly},  // extended sequential
      {"unsupported/jpeg_lossless_sel1.jpg", msg::kMergeBaselineOnly},    // lossless
      {"unsupported/beach_DNL.jpg", msg::kMergeBaselineOnly},             // extended, height 0
      {"cmyk/video-001.cmyk.jpg", msg::kMergeBaselineOnly},               // progressive CMYK
      {"cmyk/pil_sample_cmyk.jpg", msg::kMergeInvalidComponentId},        // components 1 to 4
      {"cmyk/Multiple_ICC_segments.jpg", msg::kMergeInvalidComponentId},
      {"cmyk/video-001.rgb.jpg", msg::kMergeInvalidComponentId},  // components R, G, B
      {"sampling/video-001.q50.411.jpg", sampling411},
      {"sampling/video-001.221212.jpg", msg::kMergeBaselineOnly},  // progressive
      {"sampling/Minolta_DiMAGE_EX.jpg", sampling221212},
      {"sampling/grayscale_16x24_sampling2x2.jpg", samplingGrey22},  // grey must be 1 x 1
      // The reader refuses these before the merge starts: an SSHORT entry in the Exif block,
      // and a JFIF extension (JFXX) APP0 segment.
      {"maker-sony/Sony_DSC-HX5V_2.jpg", msg::kUnknownTiffType},
      {"maker-other/exiftool_ExifTool.jpg", msg::kUnknownApp0Signature},
  };
  // Baseline camera and scanner files that must merge.
  const char* const mustMerge[] = {
      "large/Nikon_D90.jpg",
      "large/Canon_EOS_450D.jpg",
      "maker-sony/Sony_DCR-PC120E.jpg",
      "trailing/sugarshack_bad_mpo_header.jpg",
      "maker-other/Olympus_PEN_E-P3.jpg",
      "restart/scanner_extraneous-bytes-after-sos.jpg",
      "maker-canon/Canon_EOS_REBEL_T3i.jpg",
      "sampling/mozilla_jpg-size-1x1.jpg",
      "sampling/video-001.q50.440.jpg",
  };
  Workspace w;
  writeNetpbm(w.file("picture.ppm"), makePicture(40, 30));
  w.tool("gm convert picture.ppm -depth 8 PNG24:image.png");
  size_t merged = 0, refusals = 0;
  for (const auto& file : files) {
    SCOPED_TRACE(file);
    std::string known;
    for (const auto& [name, message] : refused) {
      if (sample(name) == file) known = message;
    }
    bool required = false;
    for (const char* name : mustMerge) required = required || sample(name) == file;

    const auto result = w.merge({"-i", "image.png", "-m", file, "-o", "out.jpg"});
    EXPECT_EQ(result.out, "");
    if (result.exitCode == 0) {
      ++merged;
      EXPECT_EQ(known, "") << "expected the refusal " << known;
      EXPECT_EQ(result.err, "");
      const test::TurboImage header = test::decodeWithTurbo(test::readFile(file), true);
      const test::TurboImage decoded = test::decodeWithTurbo(test::readFile(w.file("out.jpg")));
      ASSERT_TRUE(decoded.ok) << decoded.error;
      EXPECT_EQ(decoded.warnings, 0);
      if (header.ok) {
        EXPECT_EQ(std::pair(decoded.width, decoded.height), std::pair(header.width, header.height));
      }
      fs::remove(w.file("out.jpg"));
    } else {
      ++refusals;
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_FALSE(required) << result.err;
      ASSERT_GE(result.err.size(), 12u);
      EXPECT_EQ(result.err.rfind("Exception: ", 0), 0u) << result.err;
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      if (!known.empty()) {
        EXPECT_EQ(result.err, "Exception: " + known + "\n");
      }
      EXPECT_FALSE(fs::exists(w.file("out.jpg")));
    }
  }
  RecordProperty("merged", std::to_string(merged));
  RecordProperty("refused", std::to_string(refusals));
}

// --- Image sources of every kind
// ------------------------------------------------------------------

// A metadata source made here: libjpeg-turbo at quality 92, 4:2:0, a frame of partial MCUs
// (248 x 184), camera-style Exif with dates and a 64 x 48 thumbnail.
class ImageSources : public ::testing::Test {
 protected:
  static constexpr uint32_t kWidth = 248, kHeight = 184;

  void SetUp() override {
    std::string missing;
    if (!haveTools({"gm", "cjpeg", "exiftool"}, missing)) GTEST_SKIP() << missing << " missing";
    picture_ = makePicture(kWidth, kHeight);
    writeNetpbm(w_.file("picture.ppm"), picture_);
    // The 16-bit files hold values between the 8-bit levels, so that the imaging library keeps
    // all 16 bits.
    fine_ = picture_;
    for (float& v : fine_.rgb) v += 0.3f;
    writeNetpbm(w_.file("picture16.ppm"), fine_, true);
    w_.tool("cjpeg -quality 92 -sample 2x2 -outfile meta.jpg picture.ppm");
    w_.tool(
        "gm convert picture.ppm -resize 64x48! thumb.ppm && cjpeg -quality 80 -outfile "
        "thumb.jpg thumb.ppm");
    w_.tool(
        "exiftool -q -overwrite_original -Make=Tessel -Model=Test "
        "'-ModifyDate=2020:01:01 00:00:00' '-DateTimeOriginal=2020:01:01 00:00:00' "
        "'-CreateDate=2020:01:01 00:00:00' '-ThumbnailImage<=thumb.jpg' meta.jpg");
  }

  // Merges `image` into the metadata source and checks the output against `expected` (which has
  // the frame size), returning the decoded output.
  test::TurboImage mergeAndCompare(const std::string& image, const Picture& expected) {
    SCOPED_TRACE(image);
    const auto result = w_.merge({"-i", image, "-m", "meta.jpg", "-o", "out.jpg", "-t", kDate});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const Bytes output = test::readFile(w_.file("out.jpg"));
    const test::TurboImage decoded = test::decodeWithTurbo(output);
    EXPECT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.warnings, 0);
    EXPECT_EQ(std::pair(decoded.width, decoded.height), std::pair(kWidth, kHeight));
    EXPECT_GE(lumaPsnr(output, expected), lumaBound(output));
    EXPECT_GE(rgbPsnr(decoded, expected), kRgbBound);
    const auto dates = w_.run("exiftool -s3 -ModifyDate -DateTimeOriginal -CreateDate out.jpg");
    EXPECT_EQ(dates.out, std::string(kDate) + "\n" + kDate + "\n" + kDate + "\n");
    fs::remove(w_.file("out.jpg"));
    return decoded;
  }

  Workspace w_;
  Picture picture_, fine_;
};

TEST_F(ImageSources, StillImageFilesAtTheFrameSize) {
  // 8- and 16-bit PNG and TIFF, and a 24-bit BMP, of the picture itself.
  w_.tool("gm convert picture.ppm -depth 8 PNG24:rgb8.png");
  w_.tool("gm convert picture16.ppm -depth 16 PNG:rgb16.png");
  w_.tool("gm convert picture.ppm -depth 8 -compress LZW rgb8.tif");
  w_.tool("gm convert picture16.ppm -depth 16 rgb16.tif");
  w_.tool("gm convert picture.ppm BMP3:rgb.bmp");
  for (const char* name : {"rgb8.png", "rgb8.tif", "rgb.bmp"}) mergeAndCompare(name, picture_);
  for (const char* name : {"rgb16.png", "rgb16.tif"}) mergeAndCompare(name, fine_);
  // PNM and TGA, and a lossless WebP.
  w_.tool("gm convert picture.ppm TGA:rgb.tga");
  w_.tool("gm convert picture.ppm -define webp:lossless=true rgb.webp");
  for (const char* name : {"picture.ppm", "rgb.tga", "rgb.webp"}) mergeAndCompare(name, picture_);
  // A name without an extension goes to the imaging library, which reads the content.
  fs::copy_file(w_.file("rgb8.png"), w_.file("noextension"));
  mergeAndCompare("noextension", picture_);
}

TEST_F(ImageSources, AlphaIsCompositedOverBlack) {
  // Alpha falling from opaque at the left to fully transparent at the right.
  std::vector<uint8_t> alpha(size_t{kWidth} * kHeight);
  Picture expected = picture_, expected16 = fine_;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint8_t a = uint8_t(255 - x * 255 / (kWidth - 1));
      alpha[size_t{y} * kWidth + x] = a;
      // (c x A) / 65535 in 16-bit samples, back on the 8-bit scale.
      for (int c = 0; c < 3; ++c) {
        const uint32_t a16 = a * 257u;
        const uint32_t sample = uint32_t(picture_.at(x, y)[c]) * 257;
        expected.at(x, y)[c] = float(sample * a16 / 65535) / 257;
        const uint32_t fine = uint32_t(std::lround(fine_.at(x, y)[c] * 257));
        expected16.at(x, y)[c] = float(fine * a16 / 65535) / 257;
      }
    }
  }
  writeNetpbm(w_.file("alpha.pam"), picture_, false, &alpha);
  w_.tool("gm convert alpha.pam -depth 8 alpha.png");
  mergeAndCompare("alpha.png", expected);
  writeNetpbm(w_.file("alpha16.pam"), fine_, true, &alpha);
  w_.tool("gm convert alpha16.pam -depth 16 alpha16.png");
  mergeAndCompare("alpha16.png", expected16);
}

TEST_F(ImageSources, PaletteImagesGiveTheirPaletteColours) {
  // 6 levels a channel (216 colours): the palette holds every colour exactly.
  Picture posterized = picture_;
  for (float& v : posterized.rgb) v = float(std::lround(v / 51) * 51);
  writeNetpbm(w_.file("posterized.ppm"), posterized);
  w_.tool("gm convert posterized.ppm -type Palette PNG8:palette.png");
  w_.tool("gm convert posterized.ppm -type Palette BMP3:palette.bmp");
  const auto identify = w_.run("gm identify palette.png palette.bmp");
  EXPECT_NE(identify.out.find("PseudoClass"), std::string::npos) << identify.out;
  w_.tool("gm convert posterized.ppm palette.gif");
  mergeAndCompare("palette.png", posterized);
  mergeAndCompare("palette.bmp", posterized);
  mergeAndCompare("palette.gif", posterized);
}

TEST_F(ImageSources, OrientationTurnsJpegAndTiffSourcesUpright) {
  // Stored turned the other way, so that the Orientation tag brings the picture upright:
  // 6 means "turn clockwise to view", 8 "turn counter-clockwise".
  const Picture storedFor6 = turned(picture_, false), storedFor8 = turned(picture_, true);
  writeNetpbm(w_.file("stored6.ppm"), storedFor6);
  writeNetpbm(w_.file("stored8.ppm"), storedFor8);
  w_.tool("cjpeg -quality 98 -sample 1x1 -outfile o6.jpg stored6.ppm");
  w_.tool("cjpeg -quality 98 -sample 1x1 -outfile o8.JPEG stored8.ppm");
  w_.tool("exiftool -q -overwrite_original -n -Orientation=6 o6.jpg");
  w_.tool("exiftool -q -overwrite_original -n -Orientation=8 o8.JPEG");
  // The JPEG decoder's pixels are libjpeg-turbo's to within a level; turned as the tag says.
  mergeAndCompare(
      "o6.jpg", turned(fromTurbo(test::decodeWithTurbo(test::readFile(w_.file("o6.jpg")))), true));
  mergeAndCompare(
      "o8.JPEG",
      turned(fromTurbo(test::decodeWithTurbo(test::readFile(w_.file("o8.JPEG")))), false));

  // A progressive 4:2:0 JPEG without the tag is decoded as it is stored.
  w_.tool("cjpeg -quality 95 -progressive -outfile progressive.jpg picture.ppm");
  mergeAndCompare("progressive.jpg",
                  fromTurbo(test::decodeWithTurbo(test::readFile(w_.file("progressive.jpg")))));

  // TIFF through the imaging library, 8 and 16 bits, with the tag set by exiftool.
  writeNetpbm(w_.file("stored6_16.ppm"), turned(fine_, false), true);
  w_.tool("gm convert stored6.ppm -depth 8 o6.tif && gm convert stored8.ppm -depth 8 o8.tif");
  w_.tool("gm convert stored6_16.ppm -depth 16 o6_16.tif");
  w_.tool("exiftool -q -overwrite_original -n -Orientation=6 o6.tif o6_16.tif");
  w_.tool("exiftool -q -overwrite_original -n -Orientation=8 o8.tif");
  mergeAndCompare("o6.tif", picture_);
  mergeAndCompare("o6_16.tif", fine_);
  mergeAndCompare("o8.tif", picture_);
}

TEST_F(ImageSources, OtherSizesAreStretchedToTheFrame) {
  // Twice the frame size: whole-pixel steps, so point sampling takes every second pixel of every
  // second row, starting at the top-left one.
  const Picture twice = makePicture(2 * kWidth, 2 * kHeight);
  Picture sampled = picture_;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      std::copy(twice.at(2 * x, 2 * y), twice.at(2 * x, 2 * y) + 3, sampled.at(x, y));
    }
  }
  writeNetpbm(w_.file("twice.ppm"), twice);
  w_.tool("gm convert twice.ppm -depth 8 PNG24:twice.png");
  mergeAndCompare("twice.png", sampled);

  // Other sizes, larger and smaller, with another aspect ratio: the nine-point filter, then
  // edge replication to the exact size, as the project's resampler computes them.
  for (auto [width, height] : {std::pair{301u, 97u}, std::pair{100u, 150u}}) {
    const Picture other = makePicture(width, height);
    writeNetpbm(w_.file("other.ppm"), other);
    w_.tool("gm convert other.ppm -depth 8 PNG24:other.png");
    mergeAndCompare("other.png", resampledLikeTheEncoder(other, kWidth, kHeight));
  }
}

// Known fault, reported and left to the owners of the image sources and the merge writer (so
// disabled): a camera JPEG stored on its side with Orientation 6, merged into its own structure.
// The JPEG image source is turned upright (248 x 184 becomes 184 x 248), then stretched back into
// the 248 x 184 frame, while the output keeps Orientation 6: the picture comes out squashed and
// turned twice. The sound result keeps the stored pixels, as a merge of an Orientation 1 file
// does.
TEST_F(ImageSources, DISABLED_ACameraFileWithOrientation6MergedIntoItself) {
  w_.tool(
      "cp meta.jpg sideways.jpg && exiftool -q -overwrite_original -n -Orientation=6 "
      "sideways.jpg");
  const auto result = w_.merge({"-i", "sideways.jpg", "-m", "sideways.jpg", "-o", "out.jpg"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const Bytes output = test::readFile(w_.file("out.jpg"));
  EXPECT_GE(
      lumaPsnr(output, fromTurbo(test::decodeWithTurbo(test::readFile(w_.file("sideways.jpg"))))),
      lumaBound(output));
}

// --- Failures
// ---------------------------------------------------------------------------------------

// Each way a run can fail: the message on standard error, exit status 1, nothing on standard
// output, and the directory exactly as before, whether the output named existed or not.
TEST(MergeFailures, LeaveEveryFileAsItWas) {
  std::string missing;
  if (!haveTools({"gm", "cjpeg"}, missing)) GTEST_SKIP() << missing << " missing";
  Workspace w;
  const Picture picture = makePicture(64, 48);
  writeNetpbm(w.file("picture.ppm"), picture);
  w.tool("gm convert picture.ppm -depth 8 PNG24:image.png");
  w.tool("cjpeg -quality 90 -outfile meta.jpg picture.ppm");
  w.tool("cjpeg -quality 90 -progressive -outfile progressive.jpg picture.ppm");
  w.tool("cjpeg -quality 90 -arithmetic -outfile arithmetic.jpg picture.ppm");
  w.tool("cjpeg -quality 90 -sample 4x1 -outfile s411.jpg picture.ppm");
  w.tool("head -c 300 image.png > truncated.png");
  w.tool(
      "cp image.png png_named.jpg && cp meta.jpg jpeg_named.nef && printf 'plain text' > "
      "text.png && printf '' > empty.jpg");
  test::writeFile(w.file("existing.jpg"), std::string("an older output"));
  fs::create_directory(w.file("folder"));
  test::writeFile(w.file("no_soi.jpg"), Bytes{0xFF, 0xE0, 0x00, 0x04, 0, 0, 0xFF, 0xD9});
  const timespec times[2] = {{1200000000, 5}, {1200000000, 5}};
  ::utimensat(AT_FDCWD, w.file("existing.jpg").c_str(), times, 0);

  const std::string usage = std::string("usage: ") + TESSEL_JPGMERGE +
                            " -i <image source> -m <meta-data source> -o <output> [-t "
                            "<timestamp>]\n";
  struct Case {
    std::vector<std::string> args;  // "OUT" stands for the output name
    std::string err;                // exact, or a prefix when it ends in '*'
  };
  const std::string exception = "Exception: ";
  const std::vector<Case> cases = {
      // Usage.
      {{"-i", "image.png", "-m", "meta.jpg"}, usage},
      {{"-i", "image.png", "-o", "OUT"}, usage},
      {{"-m", "meta.jpg", "-o", "OUT"}, usage},
      {{"-i", "image.png", "-m", "meta.jpg", "-o", "OUT", "stray"}, usage},
      {{"-i", "image.png", "-m", "meta.jpg", "-o", "OUT", "-q"}, usage},
      // Image sources that cannot be read.
      {{"-i", "missing.png", "-m", "meta.jpg", "-o", "OUT"},
       exception + "Error reading missing.png: File Not Found\n"},
      {{"-i", "truncated.png", "-m", "meta.jpg", "-o", "OUT"},
       exception + "Error reading truncated.png: *"},
      {{"-i", "text.png", "-m", "meta.jpg", "-o", "OUT"}, exception + "Error reading text.png: *"},
      {{"-i", "png_named.jpg", "-m", "meta.jpg", "-o", "OUT"}, exception + msg::kMissingEoi + "\n"},
      {{"-i", "no_soi.jpg", "-m", "meta.jpg", "-o", "OUT"}, exception + msg::kMissingSoi + "\n"},
      {{"-i", "jpeg_named.nef", "-m", "meta.jpg", "-o", "OUT"}, exception + "*"},
      {{"-i", "empty.jpg", "-m", "meta.jpg", "-o", "OUT"},
       exception + "File empty.jpg: failed on CreateFileMapping: *"},
      // Metadata sources that cannot be read or that the merge refuses.
      {{"-i", "image.png", "-m", "missing.jpg", "-o", "OUT"},
       exception + "File missing.jpg: failed on CreateFile: *"},
      {{"-i", "image.png", "-m", "image.png", "-o", "OUT"}, exception + msg::kMissingEoi + "\n"},
      {{"-i", "image.png", "-m", "progressive.jpg", "-o", "OUT"},
       exception + msg::kMergeBaselineOnly + "\n"},
      {{"-i", "image.png", "-m", "arithmetic.jpg", "-o", "OUT"},
       exception + msg::kMergeBaselineOnly + "\n"},
      {{"-i", "image.png", "-m", "s411.jpg", "-o", "OUT"},
       exception + msg::kMergeUnsupportedSamplingOpen +
           " comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1" + msg::kMergeUnsupportedSamplingClose +
           "\n"},
      // Directories and missing folders in place of files.
      {{"-i", "folder", "-m", "meta.jpg", "-o", "OUT"},
       exception + "Error reading folder: Access Denied\n"},
      {{"-i", "image.png", "-m", "folder", "-o", "OUT"},
       exception + "File folder: failed on CreateFile: *"},
      {{"-i", "image.png", "-m", "meta.jpg", "-o", "folder"},
       exception + "File folder: failed on CreateFile: *"},
      {{"-i", "image.png", "-m", "meta.jpg", "-o", "missing/out.jpg"},
       exception + "File missing/out.jpg: failed on CreateFile: *"},
      // The metadata source named as the output.
      {{"-i", "image.png", "-m", "meta.jpg", "-o", "meta.jpg"},
       exception + "File meta.jpg: failed on CreateFile: *"},
  };
  const auto before = w.snapshot();
  for (const char* output : {"new.jpg", "existing.jpg"}) {
    for (const auto& c : cases) {
      std::vector<std::string> args = c.args;
      std::string shown;
      for (auto& a : args) {
        if (a == "OUT") a = output;
        shown += a + " ";
      }
      SCOPED_TRACE(shown);
      const auto result = w.merge(args);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.out, "");
      if (c.err.back() == '*') {
        EXPECT_EQ(result.err.rfind(c.err.substr(0, c.err.size() - 1), 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      } else {
        EXPECT_EQ(result.err, c.err);
      }
      EXPECT_EQ(w.snapshot(), before);
    }
  }
  // A real NEF-named JPEG from the samples is no raw file either.
  if (const auto files = test::sampleFiles(".nef"); !files.empty()) {
    for (const auto& nef : files) {
      if (baseName(nef) != "Issue_247-1_is_jpeg.nef") continue;
      const auto result = w.merge({"-i", nef, "-m", "meta.jpg", "-o", "new.jpg"});
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_EQ(result.err.rfind(exception, 0), 0u) << result.err;
      EXPECT_EQ(w.snapshot(), before);
    }
  }
}

}  // namespace
}  // namespace tessel
