// jpgmerge on damaged metadata sources. Real files that it merges get their segments before the
// scan deleted, doubled and moved into the scan data, their lengths and header fields set to wrong
// values, and single bytes flipped. A run that exits 0 must write a file that libjpeg-turbo and
// the project's decoder both decode without complaint; every other run must print one
// "Exception:" line and leave no output behind. libjpeg-turbo refuses frames wider or higher
// than 65500 pixels, which JPEG allows up to 65535 (a flipped byte of the frame size makes them):
// those the project's decoder must decode to the metadata source's frame size.

#include <atomic>
#include <filesystem>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "conformance/conformance.h"

namespace tessel::test {
namespace {

namespace fs = std::filesystem;

struct Damaged {
  std::string what;
  Bytes bytes;
};

// Every damaged copy of a file whose segments up to the scan end with an SOS.
std::vector<Damaged> damaged(const std::string& name, const Bytes& file, const Facts& f) {
  std::vector<Damaged> out;
  std::vector<size_t> tableBytes;  // of the segments other than APPn
  const auto scan = file.begin() + f.scanStart;
  for (const Segment& segment : f.segments) {
    const Bytes& s = segment.bytes;
    const auto head = file.begin() + segment.offset, tail = head + s.size();
    const auto add = [&](const std::string& what, Bytes bytes) {
      out.push_back({name + ", segment at " + std::to_string(segment.offset) + ": " + what, bytes});
    };
    add("deleted", concat({{file.begin(), head}, {tail, file.end()}}));
    add("doubled", concat({{file.begin(), tail}, s, {tail, file.end()}}));
    if (s[1] != 0xDA) {
      add("moved", concat({{file.begin(), head}, {tail, scan}, s, {scan, file.end()}}));
    }
    for (size_t k = 0; s[1] < 0xE0 && k < s.size(); ++k) tableBytes.push_back(segment.offset + k);
    // The length one too short and too long. Every byte of the frame, scan and restart headers
    // (precision, size, IDs, sampling, table numbers, spectral selection, interval) and the
    // first byte (class or precision, and number) of each table, with a bit flipped in each
    // nibble, 0 and 255; in a Huffman table also the counts of 2-bit and 16-bit codes.
    std::vector<size_t> fields;
    for (size_t at = 4; at < s.size() && (s[1] == 0xC0 || s[1] == 0xDA || s[1] == 0xDD); ++at) {
      fields.push_back(at);
    }
    for (size_t at = 4; at + 17 <= s.size() && (s[1] == 0xDB || s[1] == 0xC4);) {
      for (size_t k : {size_t{0}, size_t{2}, size_t{16}}) {
        if (k == 0 || s[1] == 0xC4) fields.push_back(at + k);
      }
      at +=
          s[1] == 0xDB ? (s[at] >> 4 ? 129 : 65) : 17 + std::accumulate(&s[at + 1], &s[at + 17], 0);
    }
    for (int length : {(s[2] << 8 | s[3]) - 1, (s[2] << 8 | s[3]) + 1}) {
      Bytes b = file;
      b[segment.offset + 2] = uint8_t(length >> 8), b[segment.offset + 3] = uint8_t(length);
      add("length " + std::to_string(length), b);
    }
    for (size_t at : fields) {
      for (int v : std::set<int>{s[at] ^ 1, s[at] ^ 0x10, 0, 255}) {
        Bytes b = file;
        b[segment.offset + at] = uint8_t(v);
        if (v != s[at]) add("byte " + std::to_string(at) + " = " + std::to_string(v), b);
      }
    }
  }
  // Single-byte flips before the scan data, every other one in a table or header segment.
  std::mt19937 random(uint32_t(file.size()));
  for (int n = 0; n < 40; ++n) {
    const size_t at =
        n % 2 ? tableBytes[random() % tableBytes.size()] : 2 + random() % (f.scanStart - 2);
    Bytes b = file;
    b[at] ^= uint8_t(1 + random() % 255);
    out.push_back({name + ": byte " + std::to_string(at) + " flipped", b});
  }
  return out;
}

// What keeps the JPEG file `path`, whose frame is `width` x `height`, from decoding cleanly.
std::string uncleanDecode(const std::string& path, uint32_t width, uint32_t height) {
  PixelImage image;
  const std::string ours = decodeFile(path, image);
  std::string problems = ours == "(no exception)" ? "" : " our decoder: " + ours;
  if (std::max(width, height) > JPEG_MAX_DIMENSION) {
    if (image.width != width || image.height != height) {
      problems += " decoded " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                  " of a frame of " + std::to_string(width) + " x " + std::to_string(height);
    }
    return problems;
  }
  const TurboImage turbo = decodeWithTurbo(readFile(path));
  return problems + (turbo.ok && !turbo.warnings
                         ? ""
                         : " libjpeg-turbo: " + turbo.error + std::to_string(turbo.warnings));
}

// jpgmerge with `source` as the metadata source, as run number `n`: what went against the rule.
std::string mergeAndCheck(const TempDir& dir, const Bytes& source, size_t n) {
  const std::string meta = dir.file(std::to_string(n) + ".jpg"), out = meta + ".out.jpg";
  writeFile(meta, source);
  const RunResult run =
      runProgram({TESSEL_JPGMERGE, "-i", dir.file("image.ppm"), "-m", meta, "-o", out});
  fs::remove(meta);
  if (run.exitCode != 0) {
    const bool oneLine = run.exitCode == 1 && run.err.starts_with("Exception: ") &&
                         run.err.size() > 12 && run.err.find('\n') == run.err.size() - 1;
    return (oneLine ? "" : "exit " + std::to_string(run.exitCode) + ": " + run.err.substr(0, 200)) +
           (fs::exists(out) ? " output left behind" : "");
  }
  const Facts frame(source);
  const std::string problems = uncleanDecode(out, frame.width, frame.height);
  fs::remove(out);
  return (run.err.empty() ? "" : "stderr: " + run.err) + problems;
}

TEST(MergeDamagedSources, ExitsZeroOnlyWithAFileThatDecodesCleanly) {
  TempDir dir;
  const std::vector<uint8_t> image = makeRgbPicture(48, 32);
  writePpm(dir.file("image.ppm"), 48, 32, std::vector<float>(image.begin(), image.end()));
  // Up to eight sources in path order: baseline files of at most 640 x 480 pixels that decode
  // cleanly and that jpgmerge merges, each bringing a component count and sampling or a kind
  // of segment (DRI, APP1, COM) that the ones before lack.
  std::vector<Damaged> cases;
  std::set<std::string> seen;
  int sources = 0;
  for (const std::string& path : sampleFiles(".jpg")) {
    const Bytes file = readFile(path);
    const Facts f(file);
    if (sources == 8 || f.sof != 0xC0 || !f.scanStart || f.components.empty() ||
        double(f.width) * f.height > 640 * 480) {
      continue;
    }
    std::set<std::string> kind = {std::to_string(f.components.size() * 100 + f.maxH * 10 + f.maxV)};
    for (const Segment& s : f.segments) {
      if (s.code == 0xDD || s.code == 0xE1 || s.code == 0xFE) kind.insert(std::to_string(s.code));
    }
    if (std::includes(seen.begin(), seen.end(), kind.begin(), kind.end()) ||
        !uncleanDecode(path, f.width, f.height).empty() ||
        runProgram(
            {TESSEL_JPGMERGE, "-i", dir.file("image.ppm"), "-m", path, "-o", dir.file("probe.jpg")})
            .exitCode) {
      continue;
    }
    seen.insert(kind.begin(), kind.end());
    ++sources;
    for (Damaged& d : damaged(fs::path(path).filename(), file, f)) cases.push_back(std::move(d));
  }
  if (cases.empty()) GTEST_SKIP() << "no sample that jpgmerge merges";

  std::vector<std::string> problems(cases.size());
  std::atomic<size_t> next{0};
  {
    std::vector<std::jthread> workers;  // two runs at a time
    for (int t = 0; t < 2; ++t) {
      workers.emplace_back([&] {
        for (size_t i; (i = next++) < cases.size();) {
          problems[i] = mergeAndCheck(dir, cases[i].bytes, i + 1);
        }
      });
    }
  }
  for (size_t i = 0, failures = 0; i < cases.size(); ++i) {
    if (!problems[i].empty() && ++failures <= 20) {
      ADD_FAILURE() << cases[i].what << ":" << problems[i];
    }
  }
  RecordProperty("damaged_sources", int(cases.size()));
}

}  // namespace
}  // namespace tessel::test
