// Multi-picture files (an APP2 "MPF" index and images after the file's own) as exiftool reads
// them: every MP entry in jpgdump's listing, every image that exiftool extracts listed as a JPEG
// of its own, and a merge of the mirrored picture that carries every image, previews made anew
// from it and the other images copied.

#include <regex>

#include "conformance/conformance.h"

namespace tessel::test {
namespace {

// exiftool's numbers of each MP entry, by entry number.
struct MpFields {
  long long flags = 0, format = 0, type = 0, length = 0, start = 0;
};
std::map<int, MpFields> exiftoolEntries(const std::string& file) {
  std::map<int, MpFields> entries;
  std::istringstream lines(runProgram({"exiftool", "-a", "-G1", "-n", "-s", "-MPF:all", file}).out);
  static const std::regex row(R"(^\[MPImage(\d+)\]\s+(\w+)\s+: (\d+)$)");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (!std::regex_match(line, m, row)) continue;
    static const std::map<std::string, long long MpFields::*> fields = {
        {"MPImageFlags", &MpFields::flags},
        {"MPImageFormat", &MpFields::format},
        {"MPImageType", &MpFields::type},
        {"MPImageLength", &MpFields::length},
        {"MPImageStart", &MpFields::start}};
    if (const auto field = fields.find(m[2]); field != fields.end()) {
      entries[std::stoi(m[1])].*field->second = std::stoll(m[3]);
    }
  }
  return entries;
}

// The k-th MP image as exiftool extracts it, and whether it warned.
std::pair<Bytes, bool> extract(const std::string& file, int k, const TempDir& dir) {
  const std::string group = "-MPImage" + std::to_string(k) + ":";
  const RunResult r = runShell("exiftool -b " + group + "PreviewImage " + group + "MPImage" +
                                   std::to_string(k) + " '" + file + "' > mp.jpg",
                               dir.path());
  return {readFile(dir.file("mp.jpg")), !r.err.empty()};
}

std::vector<uint8_t> mirrored(const TurboImage& image) {
  std::vector<uint8_t> out(image.rgb.size());
  for (size_t y = 0; y < image.height; ++y) {
    for (size_t x = 0; x < image.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        out[3 * (y * image.width + x) + c] =
            image.rgb[3 * (y * image.width + image.width - 1 - x) + c];
      }
    }
  }
  return out;
}

TEST_P(RealFile, MpImagesAsExiftoolReadsThem) {
  for (const char* tool : {"exiftool", "gm"}) {
    if (!haveTool(tool)) GTEST_SKIP() << tool << " missing";
  }
  const std::string& file = GetParam();
  const std::map<int, MpFields> entries = exiftoolEntries(file);
  if (entries.empty()) return;
  const Bytes source = readFile(file);
  const std::string listing = runProgram({TESSEL_JPGDUMP, file}).out;
  if (listing.find("Failed on ") != std::string::npos) return;  // the reader refuses the file
  TempDir dir;
  for (const auto& [k, e] : entries) {
    // "Image k: flags "...", format JPEG, type 0x010002 "...", size S, offset O (bytes A - B)"
    const std::regex line(
        "\n +Image " + std::to_string(k) +
        R"re(: flags "([^"]*)", format (\w+), type 0x([0-9a-f]{6}) "[^"]*", size )re" +
        std::to_string(e.length) + R"re(, offset \d+[^(]*\(bytes (-?\d+) - )re");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(listing, m, line)) << "MP entry " << k;
    EXPECT_EQ(std::stoll(m[3], nullptr, 16), e.type) << k;
    EXPECT_EQ(m[2] == "JPEG", e.format == 0) << k;
    EXPECT_EQ(m[1] == "none", (e.flags & 0x1C) == 0) << k;
    if (k > 1) {
      EXPECT_EQ(std::stoll(m[4]), e.start) << k;
    }
    // An image that exiftool extracts from the file, and that libjpeg-turbo decodes, is listed
    // as a JPEG of its own, its segments one level deeper.
    const auto [bytes, warned] = extract(file, k, dir);
    const TurboImage decoded = decodeWithTurbo(bytes, true);
    if (k > 1 && !warned && decoded.ok && size_t(e.start) + bytes.size() <= source.size()) {
      const std::regex nested("\n  MP image " + std::to_string(k) + ", [^\n]*\\(bytes " +
                              std::to_string(e.start) + " - " +
                              std::to_string(e.start + e.length - 1) + "\\):\n    Marker ");
      EXPECT_TRUE(std::regex_search(listing, nested)) << "MP image " << k;
    }
  }

  // The merge of the mirrored picture into the file: every image comes out, readable.
  const Facts f(source);
  const TurboImage pixels = decodeWithTurbo(source);
  if (f.sof != 0xC0 || !f.layoutSupported() || !pixels.ok || pixels.warnings) return;
  const std::vector<uint8_t> flipped = mirrored(pixels);
  writePpm(dir.file("mirrored.ppm"), pixels.width, pixels.height,
           std::vector<float>(flipped.begin(), flipped.end()));
  const RunResult run = runProgram(
      {TESSEL_JPGMERGE, "-i", dir.file("mirrored.ppm"), "-m", file, "-o", dir.file("out.jpg")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const auto& [k, e] : entries) {
    if (k == 1) continue;
    const auto [was, oldWarned] = extract(file, k, dir);
    const auto [made, warned] = extract(dir.file("out.jpg"), k, dir);
    const TurboImage image = decodeWithTurbo(made), old = decodeWithTurbo(was);
    EXPECT_FALSE(warned && !oldWarned) << k;  // of its own: a source's maker note may warn
    ASSERT_TRUE(image.ok && image.warnings == 0) << k << ": " << image.error;
    ASSERT_TRUE(old.ok);
    EXPECT_EQ(image.width * 100000 + image.height, old.width * 100000 + old.height) << k;
    if (e.type != 0x010001 && e.type != 0x010002) {
      EXPECT_EQ(made, was) << k;
      continue;
    }
    // A preview shows the new picture: the old one mirrored, not the old one.
    const double toMirrored = psnr(image.rgb, mirrored(old)), toOld = psnr(image.rgb, old.rgb);
    EXPECT_GT(toMirrored, 20.0) << k;
    EXPECT_GT(toMirrored, toOld + 1.0) << k;
  }
}

}  // namespace
}  // namespace tessel::test
