// jpgdump's listing of real files against exiv2's reading of the same files: a verdict for every
// file, the segments' byte ranges, every value of the main Exif directories, the maker notes it
// recognises and the Exif thumbnail.

#include <regex>
#include <set>

#include "conformance/conformance.h"

namespace tessel::test {

INSTANTIATE_TEST_SUITE_P(Samples, RealFile, ::testing::ValuesIn(sampleFiles(".jpg")),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(info.param.rfind('/') + 1);
                           for (char& c : name) c = std::isalnum(uint8_t(c)) ? c : '_';
                           return name + "_" + std::to_string(info.index);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealFile);

namespace {

// An Exif entry as a reader lists it. `context`: "" for IFD0 and IFD1, "ExifOffset", "GPS Dir
// offset", "InteroperabilityOffset", or another of jpgdump's headings ("IFD1" from exiv2).
struct Entry {
  std::string context, type;
  unsigned tag = 0;
  long long size = 0;               // jpgdump: bytes; exiv2: the count
  std::vector<std::string> values;  // one text, or numbers (jpgdump: bytes in hex, "[snip]")
};

// The segments up to the first SOS and, of the first Exif block, the entries, the headings and
// whether the thumbnail is segmented (a Marker line under "Thumbnail:").
struct Listing {
  std::vector<std::pair<long long, long long>> segments;
  std::vector<Entry> entries;
  std::set<std::string> headings;
  bool thumbnailSegments = false;

  explicit Listing(const std::string& text) {
    static const std::regex marker(R"(^  Marker (\S+).*?\(bytes (-?\d+) - (-?\d+)\))");
    static const std::regex tag(R"re(^ *Tag 0x(\w+) ".*" \(value bytes (-?\d+) - (-?\d+)\):$)re");
    std::istringstream lines(text);
    std::smatch m;
    int state = 0;  // 0 before the first Exif block, 1 in it, 2 after it, 3 after the SOS
    std::vector<std::pair<size_t, std::string>> open;  // indent and name of the open headings
    for (std::string line, values; std::getline(lines, line);) {
      const size_t indent = line.find_first_not_of(' ');
      if (std::regex_search(line, m, marker)) {
        if (state < 3) segments.emplace_back(std::stoll(m[2]), std::stoll(m[3]));
        state = m[1] == "SOS" ? 3 : state == 1 ? 2 : state;
        continue;
      }
      if (state == 0 && indent == 4 && line.find("TIFF data in") != std::string::npos) state = 1;
      if (state != 1 || indent == std::string::npos) continue;
      while (!open.empty() && indent <= open.back().first) open.pop_back();
      const std::string context = open.empty() ? "" : open.back().second;
      thumbnailSegments |= context == "Thumbnail" && line.find("Marker ") == indent;
      if (std::regex_match(line, m, tag) && std::getline(lines, values)) {
        Entry& e = entries.emplace_back(Entry{context,
                                              "",
                                              unsigned(std::stoul(m[1], nullptr, 16)),
                                              std::stoll(m[3]) - std::stoll(m[2]) + 1,
                                              {}});
        if (values.find(" \"", indent) == indent && values.ends_with('"')) {
          e.values = {""};  // text, printed as code points each below 256: back to the bytes
          for (size_t i = indent + 2; i + 1 < values.size(); ++i) {
            const auto c = uint8_t(values[i]);
            e.values[0] +=
                (c & 0xE0) == 0xC0 ? char((c & 0x1F) << 6 | (values[++i] & 0x3F)) : char(c);
          }
        } else {
          std::istringstream items(values);
          for (std::string item; items >> item;) e.values.push_back(item);
        }
      } else if (line.ends_with(':') && line.find("TIFF data") == std::string::npos) {
        open.emplace_back(indent, line.substr(indent, line.size() - indent - 1));
        headings.insert(open.back().second);
      }
    }
  }
};

// exiv2 -pv rows: "0x010f Image        Make                        Ascii       6  Canon", read
// by hand: value lists can be too long for a backtracking regex.
std::vector<Entry> exivEntries(const std::string& file) {
  static const std::map<std::string, std::string> contexts = {{"Image", ""},
                                                              {"Thumbnail", "IFD1"},
                                                              {"Photo", "ExifOffset"},
                                                              {"GPSInfo", "GPS Dir offset"},
                                                              {"Iop", "InteroperabilityOffset"}};
  std::vector<Entry> entries;
  std::istringstream lines(runShell("exiv2 -pv '" + file + "' 2>/dev/null").out);
  for (std::string line, tag, group, name, type, count; std::getline(lines, line);) {
    std::istringstream fields(line);
    if (line.starts_with("0x") && fields >> tag >> group >> name >> type >> count &&
        contexts.count(group) && count.find_first_not_of("0123456789") == std::string::npos) {
      // The value follows the count after two blanks and keeps its own leading blanks.
      const auto at = size_t(fields.tellg()) + 2;
      const std::string value = fields.good() && at <= line.size() ? line.substr(at) : "";
      entries.push_back({contexts.at(group),
                         type,
                         unsigned(std::stoul(tag, nullptr, 16)),
                         std::stoll(count),
                         {value}});
    }
  }
  return entries;
}

// Whether jpgdump's entry shows the size and values that exiv2 lists (of numbers, the first 21).
bool sameEntry(const Entry& x, const Entry& d) {
  static const std::map<std::string, long long> sizes = {
      {"Byte", 1},      {"Ascii", 1},     {"Short", 2},  {"Long", 4},
      {"Rational", 8},  {"SByte", 1},     {"SShort", 2}, {"SLong", 4},
      {"SRational", 8}, {"Undefined", 1}, {"Float", 4},  {"Double", 8}};
  if (!sizes.count(x.type) || d.size != sizes.at(x.type) * x.size) return false;
  // exiv2 prints UserComment decoded (charset prefix removed, text trimmed): the size only.
  if (x.tag == 0x9286 || x.type == "Ascii") return x.tag == 0x9286 || d.values == x.values;
  std::vector<std::string> expected;
  std::istringstream items(x.values[0]);
  for (std::string item; items >> item && expected.size() < 21;) expected.push_back(item);
  if (items >> std::ws && !items.eof()) expected.push_back("[snip]");
  for (size_t i = 0; i < expected.size() && expected.size() == d.values.size(); ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", std::atoi(expected[i].c_str()) & 0xFF);
    const bool bytes = x.type == "Byte" || x.type == "SByte" || x.type == "Undefined";
    const double a = std::atof(expected[i].c_str()), b = std::atof(d.values[i].c_str());
    if (bytes && expected[i] != "[snip]"          ? d.values[i] != hex
        : x.type == "Float" || x.type == "Double" ? std::fabs(a - b) > 1e-6 * (1 + std::fabs(a))
                                                  : d.values[i] != expected[i]) {
      return false;
    }
  }
  return expected.size() == d.values.size();
}

TEST_P(RealFile, ListingAgreesWithExiv2) {
  const std::string& file = GetParam();
  std::string listing;  // in full, of a file that parses
  for (const auto& argv :
       {std::vector<std::string>{TESSEL_JPGDUMP, "-q", file}, {TESSEL_JPGDUMP, file}}) {
    const RunResult r = runProgram(argv);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const std::string out = r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    const std::string verdict = out.substr(out.rfind('\n') + 1);
    EXPECT_TRUE(verdict.starts_with("Finished parsing " + file + " (") ||
                verdict.starts_with("Failed on " + file + ": "))
        << verdict;
    listing = argv.size() == 2 && verdict.starts_with("Finished") ? r.out : "";
  }
  if (listing.empty() || !haveTool("exiv2")) return;
  const Listing ours(listing);

  // Segments up to the first SOS: exiv2 -pS gives the address and the length field.
  std::vector<std::pair<long long, long long>> segments;
  std::istringstream rows(runProgram({"exiv2", "-pS", file}).out);
  static const std::regex row(R"(^\s*(\d+) \| 0xff([0-9a-f]{2}) \S+\s*(?:\|\s*(\d+))?)");
  std::smatch m;
  for (std::string line, code; code != "da" && std::getline(rows, line);) {
    if (!std::regex_search(line, m, row) || (code = m[2]) == "d8" || code == "d9") continue;
    segments.emplace_back(std::stoll(m[1]),
                          m[3].matched ? std::stoll(m[1]) + std::stoll(m[3]) + 1 : -1);
  }
  ASSERT_TRUE(segments.empty() || ours.segments.size() == segments.size()) << ours.segments.size();
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_EQ(ours.segments[i].first, segments[i].first) << "segment " << i;
    EXPECT_EQ(segments[i].second < 0 ? -1 : ours.segments[i].second, segments[i].second) << i;
  }

  // Every entry exiv2 lists in IFD0, IFD1, the Exif, GPS and interoperability directories is
  // listed with the same size and values; sub-directory pointers are listed as directories, and
  // a maker note that jpgdump parses under its own heading. That heading is Canon's for a Canon
  // make and a note, Sony's for a SONY make and a note that starts "SONY DSC " or "SONY CAM ".
  const bool parsedNote = std::any_of(ours.headings.begin(), ours.headings.end(),
                                      [](auto& h) { return h.ends_with("MakerNote"); });
  std::vector<bool> used(ours.entries.size(), false);
  std::string make, note;
  long long thumbnailOffset = -1, thumbnailLength = 0;
  for (const Entry& x : exivEntries(file)) {
    const std::string& text = x.values[0];
    make = x.context == "" && x.tag == 0x10f ? text : make;
    thumbnailOffset = x.context == "IFD1" && x.tag == 0x201 ? std::stoll(text) : thumbnailOffset;
    thumbnailLength = x.context == "IFD1" && x.tag == 0x202 ? std::stoll(text) : thumbnailLength;
    std::istringstream bytes(x.tag == 0x927c ? text : "");
    for (int b; note.size() < 12 && bytes >> b;) note += char(b);
    if (x.tag == 0x8769 || x.tag == 0x8825 || x.tag == 0xa005 || (x.tag == 0x927c && parsedNote)) {
      continue;
    }
    bool found = false;
    for (size_t i = 0; i < ours.entries.size() && !found; ++i) {
      const Entry& d = ours.entries[i];
      found = !used[i] && d.tag == x.tag && d.context == (x.context == "IFD1" ? "" : x.context) &&
              sameEntry(x, d);
      used[i] = used[i] || found;
    }
    EXPECT_TRUE(found) << x.context << " 0x" << std::hex << x.tag << std::dec << " " << x.type
                       << " x" << x.size << " [" << text.substr(0, 80) << "]";
  }
  const bool sony =
      note == std::string("SONY DSC \0\0\0", 12) || note == std::string("SONY CAM \0\0\0", 12);
  EXPECT_EQ(ours.headings.count("Canon MakerNote") == 1,
            make.starts_with("Canon") && !note.empty());
  EXPECT_EQ(ours.headings.count("Sony MakerNote") == 1, make == "SONY" && sony);

  // The thumbnail that IFD1 names is segmented when it is a JPEG lying within the file; exiv2
  // extracts the same bytes, but only while they lie within the APP1 segment ("data area exceeds
  // data buffer" otherwise).
  const Bytes bytes = readFile(file);
  const Facts facts(bytes);
  if (thumbnailOffset < 0 || !facts.exif()) return;
  const size_t start = facts.exif()->offset + 10 + thumbnailOffset, end = start + thumbnailLength;
  const bool isJpeg = thumbnailLength >= 2 && end <= bytes.size() && bytes[start] == 0xFF &&
                      bytes[start + 1] == 0xD8;
  EXPECT_EQ(ours.headings.count("Thumbnail") && ours.thumbnailSegments, isJpeg);
  if (isJpeg && end <= facts.exif()->offset + facts.exif()->bytes.size()) {
    TempDir dir;
    runProgram({"exiv2", "-et", "-l", dir.path(), file});
    const std::string name = file.substr(file.rfind('/') + 1);
    EXPECT_EQ(readFile(dir.file(name.substr(0, name.rfind('.')) + "-thumb.jpg")),
              Bytes(bytes.begin() + start, bytes.begin() + end));
  }
}

}  // namespace
}  // namespace tessel::test
