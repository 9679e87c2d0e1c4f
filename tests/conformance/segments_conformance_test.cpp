// jpgdump's segmentation of real files, checked for robustness and against exiv2's own view of
// the same files' structure.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace tessel {
namespace {

struct Segment {
  long long first;
  long long last;  // -1 when the other reader gives no length
};

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const size_t newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

// Top-level segments of a listing: the header lines at indent level 1, up to the first SOS.
std::vector<Segment> listedSegments(const std::string& listing) {
  static const std::regex header(R"(^  Marker (\S+).*?\(bytes (-?\d+) - (-?\d+)\))");
  std::vector<Segment> segments;
  std::istringstream lines(listing);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_search(line, m, header)) continue;
    segments.push_back({std::stoll(m[2]), std::stoll(m[3])});
    if (m[1] == "SOS" || m[1] == "da") break;
  }
  return segments;
}

// exiv2 -pS: "   address | 0xffe0 APP0  |      16 | ..."; SOI and EOI carry no segment.
std::vector<Segment> exivSegments(const std::string& structure) {
  static const std::regex row(R"(^\s*(\d+) \| 0xff([0-9a-f]{2}) \S+\s*(?:\|\s*(\d+))?)");
  std::vector<Segment> segments;
  std::istringstream lines(structure);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_search(line, m, row)) continue;
    const std::string code = m[2];
    if (code == "d8" || code == "d9") continue;
    const long long address = std::stoll(m[1]);
    const long long last = m[3].matched ? address + std::stoll(m[3]) + 1 : -1;
    segments.push_back({address, last});
    if (code == "da") break;
  }
  return segments;
}

TEST(SegmentsConformanceTest, EveryFileEndsWithAVerdictAndNeverCrashes) {
  const auto files = test::sampleFiles(".jpg");
  if (files.empty()) GTEST_SKIP() << "no sample folder";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    for (const char* option : {"-q", "-"}) {
      const test::RunResult r = test::runProgram({TESSEL_JPGDUMP, option, file});
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.err, "");
      const std::string verdict = lastLine(r.out);
      EXPECT_TRUE(verdict.rfind("Finished parsing " + file, 0) == 0 ||
                  verdict.rfind("Failed on " + file, 0) == 0)
          << verdict;
    }
  }
}

TEST(SegmentsConformanceTest, SegmentRangesAgreeWithExiv2) {
  const auto files = test::sampleFiles(".jpg");
  if (files.empty()) GTEST_SKIP() << "no sample folder";
  if (!test::haveTool("exiv2")) GTEST_SKIP() << "exiv2 is not installed";
  int compared = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const test::RunResult dump = test::runProgram({TESSEL_JPGDUMP, file});
    if (dump.out.find("Finished parsing") == std::string::npos) continue;  // only files that parse
    const test::RunResult exiv = test::runProgram({"exiv2", "-pS", file});
    const std::vector<Segment> ours = listedSegments(dump.out);
    const std::vector<Segment> theirs = exivSegments(exiv.out);
    if (theirs.empty()) continue;  // exiv2 could not read it
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_EQ(ours[i].first, theirs[i].first) << "segment " << i;
      if (theirs[i].last >= 0) {
        EXPECT_EQ(ours[i].last, theirs[i].last) << "segment " << i;
      }
    }
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace tessel
