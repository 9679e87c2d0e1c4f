#include <gtest/gtest.h>

#include <cstring>

#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/image_sources.h"
#include "sources/raw_messages.h"
#include "sources/raw_nikon_decoder.h"
#include "sources/raw_tiff_reader.h"
#include "support/nef_builder.h"

namespace tessel {
namespace {

using test::Bytes;
using test::CfaLayout;
using test::NefFile;
using test::RawSamples;
using test::TiffEntry;

const char* const kName = "camera.nef";

// Reads `bytes` as a NEF named kName; returns the message without its "Error camera.nef: "
// prefix (which every failure must carry), or "" on success.
std::string readNef(const Bytes& bytes, PixelImage& image) {
  try {
    readRawTiffBytes(image, kName, bytes.data(), static_cast<uint32_t>(bytes.size()));
  } catch (const RawLayerException& e) {
    const std::string prefix = std::string("Error ") + kName + ": ";
    if (e.message().compare(0, prefix.size(), prefix) != 0) return "unwrapped: " + e.message();
    return e.message().substr(prefix.size());
  }
  return "";
}

std::string readNef(const NefFile& nef) {
  PixelImage image;
  return readNef(nef.serialize(), image);
}

const uint16_t* pixelAt(const PixelImage& image, uint32_t x, uint32_t y) {
  return image.pixels.get() + 4 * (size_t{y} * image.width + x);
}

std::string asciiProperty(const PixelImage& image, uint32_t tag) {
  const Property* item = image.properties.find(tag);
  return item ? std::string(reinterpret_cast<const char*>(item->data())) : "(none)";
}

// Interpolates a strip twice: from its own buffer, and from the last quarter of the pixel block
// (where the reader decodes to); both must give the same pixels.
std::vector<uint16_t> interpolated(const uint16_t* samples, uint32_t width, uint32_t rows,
                                   CfaLayout layout, unsigned shift) {
  const Bytes pattern = test::cfaPatternBytes(layout);
  const CfaTables& tables = *cfaTablesFor(pattern.data());
  std::vector<uint16_t> separate(size_t{4} * width * rows), shared(separate.size());
  interpolateStrip(samples, width, rows, 0, tables, shift, separate.data());
  uint16_t* tail = shared.data() + size_t{3} * width * rows;
  std::copy(samples, samples + size_t{width} * rows, tail);
  interpolateStrip(tail, width, rows, 0, tables, shift, shared.data());
  EXPECT_EQ(separate, shared) << "in place";
  return separate;
}

// ---------------------------------------------------------------------------------------------

TEST(NikonDecoderTest, DecodesWhatWasEncodedAtBothDepths) {
  for (unsigned bits : {12u, 14u}) {
    RawSamples samples = test::syntheticSamples(37, 6, bits, bits);
    // Differences of the full width of the table: the largest sample after 0 and back.
    samples.at(4, 1) = static_cast<uint16_t>((1 << bits) - 1);
    samples.at(6, 1) = 0;
    const test::NikonSeeds seeds = {{{0, static_cast<uint16_t>((1 << bits) - 1)}, {1000, 7}}};
    const Bytes coded = test::encodeNikonLossless(samples, bits, seeds);
    const Bytes parameters = test::nikonDecoderParameters(seeds);
    const NikonParameters decoded = readNikonParameters(parameters.data(), parameters.size());
    std::vector<uint16_t> out(samples.values.size());
    const uint16_t largest =
        decodeNikonStrip(coded.data(), coded.size(), bits, decoded, 37, 6, out.data());
    EXPECT_EQ(out, samples.values) << bits;
    EXPECT_EQ(largest, (1 << bits) - 1);
  }
}

TEST(NikonDecoderTest, ShiftScalesTheLargestSampleBelow65536) {
  EXPECT_EQ(cfaShift(4095), 4u);  // 4095 << 4 = 65520
  EXPECT_EQ(cfaShift(1), 15u);
  EXPECT_EQ(cfaShift(40000), 0u);
  EXPECT_EQ(cfaShift(0), 0u);
}

// Every colour at every site of a 4 x 4 RGGB strip, worked out by hand with shift 1. The
// values make wrong rounding show: odd pair sums, triple sums that 3 does not divide, and an
// outlier among four neighbours where the middle two are taken.
TEST(CfaInterpolationTest, EveryPositionClassMatchesHandComputedPixels) {
  const uint16_t samples[16] = {10, 21,  33, 47,  52,  64,  75,  89,
                                91, 100, 14, 120, 130, 141, 155, 163};
  const uint16_t expected[16][3] = {
      {20, 73, 128},   {43, 42, 128},   {66, 95, 153},  {66, 94, 178},   // top row
      {101, 104, 128}, {47, 127, 128},  {47, 150, 153}, {47, 161, 178},  // left, interior, right
      {182, 188, 205}, {105, 200, 205}, {28, 220, 230}, {28, 240, 252},
      {182, 260, 282}, {105, 256, 282}, {28, 310, 304}, {28, 275, 326},  // bottom row
  };
  const std::vector<uint16_t> rgba = interpolated(samples, 4, 4, CfaLayout::kRGGB, 1);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(rgba[4 * i], expected[i][0]) << "red at " << i % 4 << "," << i / 4;
    EXPECT_EQ(rgba[4 * i + 1], expected[i][1]) << "green at " << i % 4 << "," << i / 4;
    EXPECT_EQ(rgba[4 * i + 2], expected[i][2]) << "blue at " << i % 4 << "," << i / 4;
    EXPECT_EQ(rgba[4 * i + 3], 65535);
  }
}

// With every red site 100, every green site 200 and every blue site 300, each method of a
// correct table averages sites of its own colour, so every pixel (edges included) comes out
// (100, 200, 300) << shift; a table that reads the wrong neighbours mixes colours.
TEST(CfaInterpolationTest, EachLayoutTakesEveryColourFromItsOwnSites) {
  for (CfaLayout layout : test::kAllCfaLayouts) {
    RawSamples samples{7, 6, std::vector<uint16_t>(42)};
    for (uint32_t y = 0; y < 6; ++y) {
      for (uint32_t x = 0; x < 7; ++x) {
        samples.at(x, y) = static_cast<uint16_t>(100 * (1 + test::cfaColour(layout, x, y)));
      }
    }
    test::NefOptions options;
    options.cfa = layout;
    PixelImage image;
    ASSERT_EQ(readNef(test::makeNef(samples, options).serialize(), image), "");
    for (uint32_t i = 0; i < 42; ++i) {
      const uint16_t* pixel = image.pixels.get() + 4 * i;
      ASSERT_EQ(pixel[0], 100 << 7) << test::cfaName(layout) << " pixel " << i;  // 300 << 7
      ASSERT_EQ(pixel[1], 200 << 7) << test::cfaName(layout) << " pixel " << i;
      ASSERT_EQ(pixel[2], 300 << 7) << test::cfaName(layout) << " pixel " << i;
    }
  }
}

TEST(CfaInterpolationTest, OneRowStripsAndOneColumnImagesUseTheNearestSamples) {
  const uint16_t row[3] = {10, 21, 30};
  std::vector<uint16_t> rgba = interpolated(row, 3, 1, CfaLayout::kRGGB, 0);
  // Top-left red site: green from the right and (the row itself) below, blue from below-right.
  EXPECT_EQ(rgba[1], (21 + 10) / 2);
  EXPECT_EQ(rgba[2], 21);
  EXPECT_EQ(rgba[4 + 2], 21);  // blue at the green site: from below, the site itself

  const uint16_t column[3] = {10, 50, 90};
  rgba = interpolated(column, 1, 3, CfaLayout::kRGGB, 0);
  EXPECT_EQ(rgba[4 * 1 + 0], (10 + 90) / 2);  // red at the green site (0, 1): above and below
  EXPECT_EQ(rgba[4 * 1 + 2], 50);             // blue from the right: the site itself

  // Every size up to 5 x 5 also interpolates in place exactly as from a buffer of its own.
  const RawSamples samples = test::syntheticSamples(5, 5, 12, 4);
  for (uint32_t w = 1; w <= 5; ++w) {
    for (uint32_t h = 1; h <= 5; ++h) {
      std::vector<uint16_t> part;
      for (uint32_t y = 0; y < h; ++y) {
        part.insert(part.end(), &samples.values[5 * y], &samples.values[5 * y + w]);
      }
      interpolated(part.data(), w, h, CfaLayout::kGBRG, 3);
    }
  }
}

// ---------------------------------------------------------------------------------------------

TEST(RawTiffReaderTest, ReadsTheRawSubIfdAndCopiesDescriptiveTags) {
  // Three strips of five rows share the one coded stream that ends the file; every strip has
  // its own top and bottom edge, and the CFA position follows the image row.
  for (const auto& [bits, strips] : {std::pair{12u, 1u}, std::pair{14u, 3u}}) {
    SCOPED_TRACE(bits);
    const uint32_t rows = strips == 1 ? 14 : 5;
    const RawSamples samples = test::syntheticSamples(20, rows, bits, 3);
    test::NefOptions options;
    options.bitsPerSample = bits;
    options.strips = strips;
    NefFile nef = test::makeNef(samples, options);
    nef.tiff.directory("ifd0").set(TiffEntry::shorts(274, {6}));
    nef.tiff.directory("ifd0").set(TiffEntry::shorts(296, {2, 2}));  // two values: not copied
    PixelImage image;
    image.pixels = PixelImage::allocatePixels(1, 1);
    ASSERT_EQ(readNef(nef.serialize(), image), "");

    // The preview IFD0 is 16 x 12; the SubIFD with NewSubfileType 0 gives the size.
    ASSERT_EQ(image.width, 20u);
    ASSERT_EQ(image.height, rows * strips);
    const unsigned shift =
        cfaShift(*std::max_element(samples.values.begin(), samples.values.end()));
    for (uint32_t y = 0; y < image.height; ++y) {
      for (uint32_t x = 0; x < 20; ++x) {
        const int own = test::cfaColour(CfaLayout::kRGGB, x, y);
        ASSERT_EQ(pixelAt(image, x, y)[own], samples.at(x, y % rows) << shift) << x << "," << y;
        ASSERT_EQ(pixelAt(image, x, y)[3], 65535);
      }
    }
    // Row 5 is the top edge of strip 1: red at the green site (0, 5) comes from below only.
    if (strips == 3) {
      EXPECT_EQ(pixelAt(image, 0, 5)[0], samples.at(0, 1) << shift);
    }
    EXPECT_EQ(asciiProperty(image, kTagCompressionMode), "RAW");
    EXPECT_EQ(asciiProperty(image, 36867), "2024:05:06 07:08:09");  // from the Exif IFD
    EXPECT_EQ(orientation(image.properties), 6);
    EXPECT_EQ(image.properties.find(296), nullptr);
    EXPECT_EQ(image.properties.find(33434), nullptr);  // ExposureTime is not a descriptive tag
  }
}

TEST(RawTiffReaderTest, CodedDataMustEndExactlyAtTheEndOfTheFile) {
  const RawSamples samples = test::syntheticSamples(16, 4, 12, 9);
  NefFile nef = test::makeNef(samples);
  ASSERT_EQ(readNef(nef), "");

  NefFile trailing = nef;
  trailing.tiff.blob("strip").bytes.push_back(0);
  EXPECT_EQ(readNef(trailing), msg::kRawNikonInvalid);

  NefFile truncated = nef;
  truncated.tiff.blob("strip").bytes.pop_back();
  EXPECT_EQ(readNef(truncated), msg::kRawNikonInvalid);

  // Two strips with their own data: the first one's data does not run to the end of the file.
  NefFile separate = nef;
  separate.tiff.blobs.insert(separate.tiff.blobs.begin() + 1, nef.tiff.blobs.back());
  separate.tiff.blobs[1].name = "first";
  separate.tiff.directory("raw").set(TiffEntry::positions(273, {{"first", 0}, {"strip", 0}}));
  separate.tiff.directory("raw").set(TiffEntry::longs(257, {8}));
  EXPECT_EQ(readNef(separate), msg::kRawNikonInvalid);

  NefFile pastEnd = nef;
  pastEnd.tiff.directory("raw").set(TiffEntry::longs(273, {0x7FFFFFF0}));
  EXPECT_EQ(readNef(pastEnd), msg::kRawNikonInvalid);
}

TEST(RawTiffReaderTest, DecoderParametersAndSampleRange) {
  const RawSamples samples = test::syntheticSamples(16, 4, 12, 11);
  const auto withParameters = [&](const Bytes& parameters) {
    NefFile nef = test::makeNef(samples);
    nef.makerNote.directory("nikon").set(TiffEntry::raw(150, 7, parameters));
    return readNef(nef);
  };
  const test::NikonSeeds seeds = {{{2048, 2048}, {2048, 2048}}};
  EXPECT_EQ(withParameters(test::nikonDecoderParameters(seeds, 0x46, 0x20)), "");
  EXPECT_EQ(withParameters(test::nikonDecoderParameters(seeds, 0x44)), msg::kRawNikonInvalid);
  Bytes short11 = test::nikonDecoderParameters(seeds);
  short11.pop_back();
  EXPECT_EQ(withParameters(short11), msg::kRawNikonInvalid);

  NefFile without150 = test::makeNef(samples);
  without150.makerNote.directory("nikon").remove(150);
  EXPECT_EQ(readNef(without150), msg::kRawNikonInvalid);
  NefFile withoutNote = test::makeNef(samples);
  withoutNote.withMakerNote = false;
  EXPECT_EQ(readNef(withoutNote), msg::kRawNikonInvalid);

  // 4096 is out of range for 12 bits; declared as 13 bits (still the 12-bit table) it is not.
  RawSamples high = samples;
  high.at(5, 2) = 4096;
  EXPECT_EQ(readNef(test::makeNef(high)), msg::kRawNikonInvalid);
  NefFile thirteen = test::makeNef(high);
  thirteen.tiff.directory("raw").set(TiffEntry::shorts(258, {13}));
  EXPECT_EQ(readNef(thirteen), "");
  // From 15 bits on no sample is in range.
  NefFile sixteen = test::makeNef(samples);
  sixteen.tiff.directory("raw").set(TiffEntry::shorts(258, {16}));
  EXPECT_EQ(readNef(sixteen), msg::kRawNikonInvalid);
}

TEST(RawTiffReaderTest, StructureFaultsFailWithTheirMessage) {
  const NefFile good = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  const auto changed = [&](const std::function<void(NefFile&)>& change) {
    NefFile nef = good;
    change(nef);
    return readNef(nef);
  };
  const auto raw = [](NefFile& nef) -> test::TiffDirectory& { return nef.tiff.directory("raw"); };
  const auto ifd0 = [](NefFile& nef) -> test::TiffDirectory& { return nef.tiff.directory("ifd0"); };

  const struct {
    const char* what;
    std::function<void(NefFile&)> change;
    const char* message;
  } cases[] = {
      {"little-endian",
       [](NefFile& n) {
         n.tiff.header = {'I', 'I', 42, 0};
       },
       msg::kRawInvalidStructure},
      {"IFD past end", [](NefFile& n) { n.tiff.firstField = 0x7FFFFFFF; },
       msg::kRawInvalidStructure},
      {"raw IFD to itself", [&](NefFile& n) { raw(n).next = "raw"; }, msg::kRawInvalidStructure},
      {"SubIFD listed twice",
       [&](NefFile& n) {
         ifd0(n).set(TiffEntry::positions(330, {{"raw", 0}, {"raw", 0}}));
       },
       msg::kRawInvalidStructure},
      {"maker note chain to itself",
       [](NefFile& n) {
         n.makerNote.directory("nikon").next = "second";
         n.makerNote.directories.push_back({"second", {}, "second", {}});
       },
       msg::kRawInvalidStructure},
      {"count 0", [&](NefFile& n) { ifd0(n).set(TiffEntry::raw(700, 7, {})); },
       msg::kRawInvalidType},
      {"data past end",
       [&](NefFile& n) {
         ifd0(n).find(271)->field = static_cast<uint32_t>(n.serialize().size() - 4);
       },
       msg::kRawInvalidDataCount},
      {"NewSubfileType SHORT", [&](NefFile& n) { raw(n).set(TiffEntry::shorts(254, {0})); },
       msg::kRawNewSubfileTypeType},
      {"ImageWidth SHORT", [&](NefFile& n) { raw(n).set(TiffEntry::shorts(256, {8})); },
       msg::kRawImageWidthType},
      {"ImageLength 2 values",
       [&](NefFile& n) {
         raw(n).set(TiffEntry::longs(257, {4, 4}));
       },
       msg::kRawImageLengthType},
      {"BitsPerSample LONG", [&](NefFile& n) { raw(n).set(TiffEntry::longs(258, {12})); },
       msg::kRawBitsPerSampleType},
      {"17 StripOffsets",
       [&](NefFile& n) {
         raw(n).set(TiffEntry::positions(273, std::vector<test::TiffRef>(17, {"strip", 0})));
       },
       msg::kRawStripOffsetsType},
      {"RowsPerStrip SHORT", [&](NefFile& n) { raw(n).set(TiffEntry::shorts(278, {4})); },
       msg::kRawRowsPerStripType},
      {"StripByteCounts 2 values",
       [&](NefFile& n) {
         raw(n).set(TiffEntry::longs(279, {9, 9}));
       },
       msg::kRawStripByteCountsType},
      {"SubIFDs SHORT", [&](NefFile& n) { ifd0(n).set(TiffEntry::shorts(330, {8})); },
       msg::kRawSubIfdsType},
      {"CFAPattern unknown",
       [&](NefFile& n) {
         raw(n).set(TiffEntry::raw(33422, 1, {0, 1, 2, 1}));
       },
       msg::kRawCfaPatternValue},
      {"CFAPattern missing", [&](NefFile& n) { raw(n).remove(33422); }, msg::kRawCfaPatternValue},
      {"maker note prefix", [](NefFile& n) { n.makerNotePrefix[0] = 'n'; },
       msg::kRawInvalidMakerNote},
      {"maker note IFD past note",
       [](NefFile& n) { n.makerNote.directory("nikon").nextField = 0x1000; },
       msg::kRawInvalidMakerNote},
      {"16-byte maker note",
       [&](NefFile& n) {
         n.withMakerNote = false;
         n.tiff.directory("exif").set(TiffEntry::raw(
             37500, 7, Bytes{'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0, 'M', 'M', 0, 42, 0, 0}));
       },
       msg::kRawInvalidMakerNote},
      {"rows 100 x 2 strips, height 201",
       [&](NefFile& n) {
         raw(n).set(TiffEntry::longs(278, {100}));
         raw(n).set(TiffEntry::positions(273, {{"strip", 0}, {"strip", 0}}));
         raw(n).set(TiffEntry::longs(257, {201}));
       },
       msg::kRawInvalidImageStructure},
  };
  for (const auto& c : cases) EXPECT_EQ(changed(c.change), c.message) << c.what;

  // Missing values are reported in a fixed order: with all six gone the first one is named,
  // and each one put back names the next.
  const std::pair<uint16_t, const char*> order[] = {
      {256, msg::kRawImageWidthMissing},    {257, msg::kRawImageLengthMissing},
      {258, msg::kRawBitsPerSampleMissing}, {273, msg::kRawStripOffsetsMissing},
      {278, msg::kRawRowsPerStripMissing},  {279, msg::kRawStripByteCountsMissing}};
  NefFile missing = good, source = good;
  for (const auto& item : order) raw(missing).remove(item.first);
  for (const auto& [tag, message] : order) {
    EXPECT_EQ(readNef(missing), message);
    raw(missing).set(*raw(source).find(tag));
  }
  EXPECT_EQ(readNef(missing), "");
}

// The walker keeps its own type sizes (1, 2, 4 or 8 bytes). An out-of-line value that ends
// exactly at the end of the file is read; one byte later it is past the end. Every other type is
// refused.
TEST(RawTiffReaderTest, EntriesAreSizedByTheWalkersOwnTypeTable) {
  const NefFile good = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  const std::pair<uint16_t, uint32_t> sized[] = {{2, 1}, {3, 2}, {9, 4}, {10, 8}};
  for (const auto& [type, size] : sized) {
    SCOPED_TRACE(type);
    NefFile nef = good;
    TiffEntry& entry = nef.tiff.directory("exif").set(TiffEntry::raw(700, type, {}));
    entry.count = 5 * (4 / size + 1);  // always more than 4 bytes
    entry.field = 0;
    const uint32_t fileSize = static_cast<uint32_t>(nef.serialize().size());
    nef.tiff.directory("exif").find(700)->field = fileSize - entry.count * size;
    EXPECT_EQ(readNef(nef), "");
    nef.tiff.directory("exif").find(700)->field = fileSize - entry.count * size + 1;
    EXPECT_EQ(readNef(nef), msg::kRawInvalidDataCount);
  }
  for (uint16_t type : {0, 6, 11, 0xFFFF}) {
    NefFile nef = good;
    nef.tiff.directory("exif").set(TiffEntry::raw(700, 1, {0})).type = type;
    EXPECT_EQ(readNef(nef), msg::kRawInvalidType) << type;
  }
}

// A strip of zero samples has no largest sample to scale: it is taken unshifted, as black.
TEST(RawTiffReaderTest, AnAllZeroStripIsBlackAndOpaque) {
  RawSamples zero{6, 4, std::vector<uint16_t>(24, 0)};
  test::NefOptions options;
  options.seeds = {{{0, 0}, {0, 0}}};
  PixelImage image;
  ASSERT_EQ(readNef(test::makeNef(zero, options).serialize(), image), "");
  for (uint32_t i = 0; i < 24; ++i) {
    const uint16_t* pixel = image.pixels.get() + 4 * i;
    EXPECT_EQ(pixel[0] | pixel[1] | pixel[2], 0) << i;
    EXPECT_EQ(pixel[3], 65535) << i;
  }
}

TEST(RawTiffReaderTest, NewSubfileTypeCoversTheRestOfItsDirectoryAndWhatItReaches) {
  const NefFile good = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  // A directory chained after the raw one, without NewSubfileType: its ImageWidth is ignored.
  NefFile chained = good;
  chained.tiff.directories.push_back({"extra", {TiffEntry::longs(256, {999})}, {}, {}});
  chained.tiff.directory("raw").next = "extra";
  PixelImage image;
  ASSERT_EQ(readNef(chained.serialize(), image), "");
  EXPECT_EQ(image.width, 8u);

  // An ImageWidth before the NewSubfileType of 0 in the same directory is ignored too.
  NefFile before = good;
  auto& entries = before.tiff.directory("raw").entries;
  std::swap(entries[0], entries[1]);
  EXPECT_EQ(readNef(before), msg::kRawImageWidthMissing);
}

TEST(RawTiffReaderTest, PropertiesStayAfterALaterFailure) {
  NefFile nef = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  nef.tiff.directory("exif").set(TiffEntry::raw(700, 11, Bytes(4)));  // FLOAT, after IFD0's tags
  PixelImage image;
  EXPECT_EQ(readNef(nef.serialize(), image), msg::kRawInvalidType);
  EXPECT_EQ(asciiProperty(image, 271), "NIKON CORPORATION");
  EXPECT_EQ(asciiProperty(image, kTagCompressionMode), "RAW");
}

TEST(RawTiffReaderTest, HugeImagesAndLongChainsAreRefusedCleanly) {
  NefFile nef = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  auto& raw = nef.tiff.directory("raw");
  raw.set(TiffEntry::longs(256, {0xFFFFFFFF}));
  raw.set(TiffEntry::longs(257, {0xFFFFFFF0}));
  raw.set(TiffEntry::longs(278, {0xFFFFFFF0}));
  EXPECT_EQ(readNef(nef), "Image of 4294967295 x 4294967280 pixels is too large for memory");
  PixelImage image;
  const Bytes small = test::makeNef(test::syntheticSamples(8, 4, 12, 1)).serialize();
  EXPECT_THROW(
      readRawTiffBytes(image, kName, small.data(), static_cast<uint32_t>(small.size()), 31),
      RawLayerException);

  // A chain of more directories than a file may hold.
  NefFile chain = test::makeNef(test::syntheticSamples(8, 4, 12, 1));
  for (uint32_t i = 0; i < kRawMaxDirectories; ++i) {
    const std::string name = std::to_string(i);
    if (i > 0) chain.tiff.directories.back().next = name;
    chain.tiff.directories.push_back({name, {TiffEntry::shorts(700, {1})}, {}, {}});
  }
  chain.tiff.directory("exif").next = "0";
  EXPECT_EQ(readNef(chain), msg::kRawInvalidStructure);
}

}  // namespace
}  // namespace tessel
