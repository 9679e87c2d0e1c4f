// jpgmerge on damaged metadata sources. Real files that it merges get their segments before the
// scan deleted, doubled and moved into the scan data, their frame, table and scan header fields
// set to wrong values, and single bytes flipped. A run that exits 0 must write a file that
// libjpeg-turbo and this library's decoder both decode without complaint; every other run must
// print one "Exception:" line and leave no output behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "jpeg/encoder_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

std::string hex(int v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFFFF);
  return text;
}

std::string segmentName(uint8_t code) {
  const std::map<uint8_t, std::string> names = {{0xC0, "SOF0"}, {0xC4, "DHT"}, {0xDA, "SOS"},
                                                {0xDB, "DQT"},  {0xDD, "DRI"}, {0xFE, "COM"}};
  if (names.count(code)) return names.at(code);
  return code >> 4 == 0xE ? "APP" + std::to_string(code & 15) : hex(code);
}

struct Damaged {
  std::string sample, kind, detail;  // kind: what was damaged; detail: where and how
  Bytes bytes;
};

// Every damaged copy of `file` (its segments up to the scan end with an SOS).
void damage(const std::string& sample, const Bytes& file, std::vector<Damaged>& out) {
  size_t scanStart = 0;
  const auto segments = test::segmentsUpToScan(file, &scanStart);
  std::vector<size_t> starts, tableBytes;  // offsets of the segments; bytes of non-APPn segments
  for (size_t i = 0, at = 2; i < segments.size(); at += segments[i++].bytes.size()) {
    starts.push_back(at);
    for (size_t k = 0; segments[i].code < 0xE0 && k < segments[i].bytes.size(); ++k) {
      tableBytes.push_back(at + k);
    }
  }
  const auto end = file.begin() + scanStart;  // right after the SOS header
  for (size_t i = 0; i < segments.size(); ++i) {
    const Bytes& s = segments[i].bytes;
    const std::string name = segmentName(s[1]), where = "segment " + std::to_string(i);
    const auto head = file.begin() + starts[i], tail = head + s.size();
    const auto add = [&](const std::string& kind, const std::string& detail, Bytes bytes) {
      out.push_back({sample, kind, where + detail, std::move(bytes)});
    };
    add("delete " + name, "", test::concat({{file.begin(), head}, {tail, file.end()}}));
    add("duplicate " + name, "", test::concat({{file.begin(), tail}, s, {tail, file.end()}}));
    if (s[1] != 0xDA) {
      add("move into scan data " + name, "",
          test::concat({{file.begin(), head}, {tail, end}, s, {end, file.end()}}));
    }
    // Header fields set to wrong values (16-bit ones when `wide`).
    const auto field = [&](size_t at, const std::string& what, std::vector<int> values,
                           bool wide = false) {
      for (int v : values) {
        if (v == s[at] && !wide) continue;
        Bytes b = file;
        b[starts[i] + at] = uint8_t(wide ? v >> 8 : v);
        if (wide) b[starts[i] + at + 1] = uint8_t(v);
        add(name + " " + what, " +" + std::to_string(at) + " = " + hex(v), b);
      }
    };
    const auto at16 = [&](size_t at) { return s[at] << 8 | s[at + 1]; };
    field(2, "length", {at16(2) - 1, at16(2) + 1}, true);
    // Frame and scan components: an ID taken from the next component (or one more), wrong
    // sampling factors, quantization tables and Huffman table selectors.
    const auto components = [&](size_t first, size_t count, size_t size) {
      for (size_t c = 0, at = first; c < count && at + size <= s.size(); ++c, at += size) {
        field(at, "component id",
              {count > 1 ? s[first + size * ((c + 1) % count)] : s[at] + 1, s[at] + 7});
        if (size == 2) {
          field(at + 1, "table selectors", {s[at + 1] ^ 1, s[at + 1] ^ 16, 0x22, 0x44});
        } else {
          field(at + 1, "sampling", {0x00, 0x21, 0x44, 0x15});
          field(at + 2, "quantization table", {s[at + 2] ^ 1, 2, 4});
        }
      }
    };
    if (s[1] == 0xC0 && s.size() >= 10) {
      field(4, "precision", {0, 12});
      field(5, "height", {0, std::min(0xFFFF, 2 * at16(5))}, true);
      field(7, "width", {0, std::min(0xFFFF, 2 * at16(7))}, true);
      field(9, "component count", {0, 1, 2, 3, 4});
      components(10, s[9], 3);
    } else if (s[1] == 0xDA && s.size() >= 5) {
      field(4, "component count", {0, 1, 2, 3, 4});
      components(5, s[4], 2);
      if (const size_t e = 5 + 2 * size_t{s[4]}; e + 3 <= s.size()) {
        field(e, "spectral start", {1});
        field(e + 1, "spectral end", {0, 62});
        field(e + 2, "approximation", {0x01, 0x10});
      }
    } else if (s[1] == 0xDB || s[1] == 0xC4) {
      // Each table's class or precision and number; in a DHT also two of its code counts.
      for (size_t at = 4; at + 17 <= s.size();) {
        field(at, "table class/precision/id",
              {s[at] ^ 0x10, (s[at] & 15) | 0x20, s[at] ^ 1, s[at] | 4});
        if (s[1] == 0xDB) {
          at += s[at] >> 4 ? 129 : 65;
          continue;
        }
        field(at + 2, "2-bit code count", {4});
        field(at + 16, "16-bit code count", {s[at + 16] + 1});
        at += 17 + std::accumulate(s.begin() + at + 1, s.begin() + at + 17, size_t{0});
      }
    } else if (s[1] == 0xDD && s.size() >= 6) {
      field(4, "restart interval", {0, 0xFFFF}, true);
    }
  }
  // Single-byte flips before the scan data, every other one in a table or header segment.
  std::mt19937 random(uint32_t(file.size()));
  for (int n = 0; n < 40; ++n) {
    const size_t at =
        n % 2 ? tableBytes[random() % tableBytes.size()] : 2 + random() % (scanStart - 2);
    const uint8_t mask = uint8_t(1 + random() % 255);
    const size_t i = std::upper_bound(starts.begin(), starts.end(), at) - starts.begin() - 1;
    Bytes b = file;
    b[at] ^= mask;
    out.push_back({sample, "flip in " + segmentName(segments[i].code),
                   "byte " + std::to_string(at) + " ^ " + hex(mask), b});
  }
}

// Runs jpgmerge with `source` as the metadata source, as run number `n`: its exit status, and
// what went against the rule (empty when nothing did).
std::pair<int, std::string> mergeAndCheck(const test::TempDir& dir, const Bytes& source, size_t n) {
  const std::string meta = dir.file(std::to_string(n) + ".jpg"), out = meta + ".out.jpg";
  test::writeFile(meta, source);
  const auto run =
      test::runProgram({TESSEL_JPGMERGE, "-i", dir.file("image.png"), "-m", meta, "-o", out});
  fs::remove(meta);
  if (run.exitCode != 0) {
    const bool oneLine = run.exitCode == 1 && run.err.starts_with("Exception: ") &&
                         run.err.size() > 12 && run.err.find('\n') == run.err.size() - 1;
    return {run.exitCode, (oneLine ? "" : "stderr: " + run.err.substr(0, 200)) +
                              (fs::exists(out) ? " output left behind" : "")};
  }
  const Bytes written = test::readFile(out);
  std::string problem = run.err.empty() ? "" : "stderr: " + run.err;
  if (const test::TurboImage turbo = test::decodeWithTurbo(written); !turbo.ok || turbo.warnings) {
    // djpeg words the warnings, which the decode above only counts.
    std::string text =
        turbo.ok ? test::runProgram({"djpeg", "-outfile", "/dev/null", out}).err : turbo.error;
    std::replace(text.begin(), text.end(), '\n', ' ');
    problem += " libjpeg-turbo: " + (text.empty() ? std::to_string(turbo.warnings) : text);
  }
  fs::remove(out);
  const std::string ours = test::messageOf([&] {
    PixelImage image;
    test::decodeBytes(written, image);
  });
  return {0, ours == "(no exception)" ? problem : problem + " our decoder: " + ours};
}

TEST(MergeDamagedSources, ExitsZeroOnlyWithAFileThatDecodesCleanly) {
  const auto files = test::sampleFiles(".jpg");
  if (files.empty()) GTEST_SKIP() << "no sample folder";
  if (!test::haveTool("gm")) GTEST_SKIP() << "gm missing";
  test::TempDir dir;
  const auto made =
      test::runShell("gm convert -size 48x32 gradient:red-blue " + dir.file("image.png"));
  ASSERT_EQ(made.exitCode, 0) << made.err;

  // Up to eight sources, in path order: baseline files of at most 640 x 480 that libjpeg-turbo
  // decodes cleanly and jpgmerge merges, each bringing a component count and sampling or a kind
  // of segment not seen in the ones before.
  std::vector<Damaged> cases;
  std::set<std::string> seen;
  std::vector<std::string> chosen;
  for (const std::string& path : files) {
    if (chosen.size() == 8) break;
    const Bytes file = test::readFile(path);
    const auto segments = test::segmentsUpToScan(file);
    const test::TurboImage t = test::decodeWithTurbo(file, true);
    if (segments.empty() || segments.back().code != 0xDA || !t.ok || t.progressive ||
        t.width * t.height > 640 * 480) {
      continue;
    }
    std::set<std::string> kind = {std::to_string(t.components) + "/" +
                                  std::to_string(t.samplingH[0] * 10 + t.samplingV[0])};
    for (const auto& s : segments) {
      if (s.code == 0xDD || s.code == 0xE1 || s.code == 0xFE) kind.insert(segmentName(s.code));
    }
    const test::TurboImage decoded = test::decodeWithTurbo(file);
    if (std::ranges::includes(seen, kind) || !decoded.ok || decoded.warnings) continue;
    const auto [exitCode, problem] = mergeAndCheck(dir, file, 0);
    if (exitCode != 0) continue;
    EXPECT_EQ(problem, "") << path;
    seen.insert(kind.begin(), kind.end());
    chosen.push_back(fs::path(path).filename());
    damage(chosen.back(), file, cases);
  }
  if (cases.empty()) GTEST_SKIP() << "no sample that jpgmerge merges";

  // One run per core at a time, at least two.
  std::vector<std::pair<int, std::string>> outcomes(cases.size());
  std::atomic<size_t> next{0};
  std::vector<std::jthread> workers;
  for (unsigned t = 0; t < std::clamp(std::thread::hardware_concurrency(), 2u, 4u); ++t) {
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < cases.size();) {
        outcomes[i] = mergeAndCheck(dir, cases[i].bytes, i + 1);
      }
    });
  }
  workers.clear();  // joins them

  // Failures by damage, exit status and what went wrong: how often, and the first case.
  std::map<std::string, std::pair<size_t, std::string>> failures;
  size_t merged = 0, turboRejected = 0, ourRejected = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [exitCode, problem] = outcomes[i];
    merged += exitCode == 0;
    turboRejected += problem.find("libjpeg-turbo") != std::string::npos;
    ourRejected += problem.find("our decoder") != std::string::npos;
    if (problem.empty()) continue;
    auto& [count, first] =
        failures[cases[i].kind + " | exit " + std::to_string(exitCode) + " | " + problem];
    if (count++ == 0) first = cases[i].sample + ", " + cases[i].detail;
  }
  std::cout << "sources:";
  for (const auto& name : chosen) std::cout << " " << name;
  std::cout << "\ndamaged sources: " << cases.size() << ", exit 0: " << merged
            << ", rejected by libjpeg-turbo: " << turboRejected
            << ", by our decoder: " << ourRejected;
  for (const auto& [key, failure] : failures) {
    std::cout << "\n  " << failure.first << " x " << key << " (first: " << failure.second << ")";
  }
  std::cout << std::endl;
  EXPECT_TRUE(failures.empty()) << failures.size() << " kinds of failure, listed above";
}

}  // namespace
}  // namespace tessel
