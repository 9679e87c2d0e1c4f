// jpgdump -d: the decode report of whole files, and the property listing.

#include <gtest/gtest.h>

#include <sstream>

#include "exif/property_list.h"
#include "jpeg/decoder_test_support.h"
#include "support/test_support.h"

// The report is part of the jpgdump program, not of the library; it is compiled in here.
#include "../../tools/jpgdump/decode_report.cpp"

namespace tessel {
namespace {

using test::Bytes;

std::string listing(const PropertyList& list) {
  std::ostringstream out;
  jpgdump::printPropertyList(list, out);
  return out.str();
}

template <typename T>
Property arrayProperty(uint32_t tag, uint32_t type, const std::vector<T>& values) {
  return makeProperty(tag, type, static_cast<uint32_t>(values.size() * sizeof(T) / typeSize(type)),
                      values.data());
}

TEST(DecodeReportTest, PropertyValuesByTypeWithNamesAndSnip) {
  PropertyList list;
  list.append(arrayProperty<uint16_t>(274, kTypeShort, std::vector<uint16_t>(21, 7)));
  std::vector<uint16_t> shorts(22);
  for (uint16_t i = 0; i < 22; ++i) shorts[i] = i;
  list.append(arrayProperty<uint16_t>(296, kTypeShort, shorts));
  list.append(arrayProperty<uint32_t>(49152, kTypeLong, {4294967295u}));
  list.append(arrayProperty<uint32_t>(282, kTypeRational, {72, 1, 300, 2}));
  list.append(arrayProperty<int32_t>(12345, kTypeSLong, {-5, 6}));
  list.append(arrayProperty<int32_t>(283, kTypeSRational, {-1, 3}));
  list.append(arrayProperty<float>(269, kTypeFloat, {1.5f}));
  list.append(arrayProperty<double>(270, kTypeDouble, {-0.25}));
  list.append(arrayProperty<uint8_t>(271, kTypeUndefined, {0x0A, 0xFF, 0x00}));
  list.append(arrayProperty<uint8_t>(272, kTypeByte, std::vector<uint8_t>(23, 0xAB)));
  std::string expected = "Orientation:";
  for (int i = 0; i < 21; ++i) expected += " 7";
  expected += "\nResolution Unit:";
  for (int i = 0; i < 21; ++i) {
    expected += ' ';
    expected += std::to_string(i);
  }
  expected += " [snip]\n";
  expected +=
      "Pixel Format: 4294967295\n"
      "X Resolution: 72/1 300/2\n"
      "???: -5 6\n"
      "Y Resolution: -1/3\n"
      "Document Name: 1.500000\n"
      "Image Description: -0.250000\n"
      "Make: 0a ff 00\n"
      "Model:";
  for (int i = 0; i < 21; ++i) expected += " ab";
  expected += " [snip]\n";
  EXPECT_EQ(listing(list), expected);
}

TEST(DecodeReportTest, AsciiStopsAtTheCountOrAZeroAndPrintsBytesAsCharacters) {
  PropertyList list;
  setAscii(list, 315, "Ann\0Bob", 8);
  setAscii(list, 33432, "caf\xE9", 4);  // no terminator counted
  setAscii(list, 305, "abcdef", 3);     // the count ends it
  setCompressionMode(list, "Baseline 2x2");
  EXPECT_EQ(listing(list),
            "Artist: \"Ann\"\n"
            "Copyright: \"caf\xC3\xA9\"\n"
            "Software: \"abc\"\n"
            "Compression Mode: \"Baseline 2x2\"\n");
}

// ---- jpgdump -d on whole files ----------------------------------------------------------------

test::RunResult dump(const std::string& path, bool quiet = true) {
  std::vector<std::string> argv = {TESSEL_JPGDUMP};
  if (quiet) argv.push_back("-q");
  argv.push_back("-d");
  argv.push_back(path);
  return test::runProgram(argv);
}

TEST(DecodeReportTest, ReportsTheDecodedSizeAndPropertiesAfterTheSummary) {
  test::TempDir dir;
  const std::string path = dir.file("small.jpg");
  test::EncodeOptions options;  // 4:2:0
  test::writeFile(path, test::encodeWithTurbo(17, 9, test::makeRgbPicture(17, 9), options));
  const test::RunResult result = dump(path);
  EXPECT_EQ(result.exitCode, 0);
  const size_t summary = result.out.find("Finished parsing " + path);
  const size_t decoded = result.out.find("Decoded 17 x 9 pixels\n");
  ASSERT_NE(summary, std::string::npos) << result.out;
  ASSERT_NE(decoded, std::string::npos) << result.out;
  EXPECT_LT(summary, decoded);
  EXPECT_NE(result.out.find("Compression Mode: \"Baseline 2x2\"\n", decoded), std::string::npos)
      << result.out;
}

TEST(DecodeReportTest, UndecodableProcessListsThenFails) {
  test::TempDir dir;
  const std::vector<uint8_t> picture = test::makeRgbPicture(16, 16);
  test::EncodeOptions options;
  const Bytes baseline = test::encodeWithTurbo(16, 16, picture, options);

  // Lossless: SOF3, and a scan header with predictor 1 and Se = 0.
  Bytes lossless = baseline;
  for (size_t i = 0; i + 1 < lossless.size(); ++i) {
    if (lossless[i] != 0xFF) continue;
    if (lossless[i + 1] == 0xC0) lossless[i + 1] = 0xC3;
    if (lossless[i + 1] == 0xDA) {
      const size_t tail = i + 5 + 2 * lossless[i + 4];
      lossless[tail] = 1;
      lossless[tail + 1] = 0;
      break;
    }
  }
  const std::string path = dir.file("lossless.jpg");
  test::writeFile(path, lossless);
  const test::RunResult result = dump(path, false);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.out.find("Marker SOF3"), std::string::npos) << result.out;
  const size_t failed =
      result.out.find("Failed on " + path + ": Unsupported image format (mode=SOF3)\n");
  EXPECT_NE(failed, std::string::npos) << result.out;
  EXPECT_LT(result.out.find("Finished parsing"), failed);
}

TEST(DecodeReportTest, FileCutShortStillDecodes) {
  test::TempDir dir;
  test::EncodeOptions options;
  for (bool progressive : {false, true}) {
    options.progressive = progressive;
    const Bytes full = test::encodeWithTurbo(64, 64, test::makeRgbPicture(64, 64), options);
    // Inside entropy-coded data (a cut inside a segment between progressive scans is refused).
    const size_t at = progressive ? test::endOfFirstScan(full) - 20 : full.size() * 2 / 3;
    Bytes cut(full.begin(), full.begin() + at);
    cut.insert(cut.end(), {0xFF, 0xD9});
    const std::string path = dir.file("cut.jpg");
    test::writeFile(path, cut);
    const test::RunResult result = dump(path);
    EXPECT_NE(result.out.find("Decoded 64 x 64 pixels\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Failed on"), std::string::npos) << result.out;
  }
}

}  // namespace
}  // namespace tessel
