// jpgmerge end to end: every successful run of fixtures/merge/merges.txt checked by libjpeg-turbo
// (with the images after a multi-picture file's own), the command line and the file handling, a
// full disk; and the merge writer's checks that no file can reach, because the segment reader
// refuses it first.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "core/property_list.h"
#include "core/range_tracker.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/markers/app2_marker.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/markers/mp_images.h"
#include "jpeg/messages.h"
#include "jpeg/segment_buffer.h"
#include "platform/memory.h"
#include "sources/image_sources.h"
#include "sources/imaging_loader.h"
#include "support/jpeg.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

// The image source as the merge sees it: stretched to width x height, each output pixel the
// average of the source pixels under it (the nearest one when enlarging), composited over black,
// as 8-bit RGB (grey: the channel average in all three).
std::vector<uint8_t> reference(const PixelImage& image, uint32_t width, uint32_t height,
                               bool grey) {
  std::vector<uint8_t> rgb;
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t y0 = y * image.height / height;
    const uint32_t y1 = std::max(y0 + 1, (y + 1) * image.height / height);
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t x0 = x * image.width / width;
      const uint32_t x1 = std::max(x0 + 1, (x + 1) * image.width / width);
      double c[3] = {};
      for (uint32_t sy = y0; sy < y1; ++sy) {
        for (uint32_t sx = x0; sx < x1; ++sx) {
          const uint16_t* p = image.pixels.get() + 4 * (size_t{sy} * image.width + sx);
          for (int i = 0; i < 3; ++i)
            c[i] += double(p[i]) * p[3] / 65535 / 257 / ((y1 - y0) * (x1 - x0));
        }
      }
      for (int i = 0; i < 3; ++i) {
        rgb.push_back(uint8_t(std::lround(grey ? (c[0] + c[1] + c[2]) / 3 : c[i])));
      }
    }
  }
  return rgb;
}

// A merge of a multi-picture source: the index points at each of the source's MP images, in
// order and back to back after the new image; previews are made anew at their own frame size from
// the image source, the other images copied byte for byte.
void expectMpImages(const test::Bytes& out, const test::Bytes& meta, const PixelImage& source) {
  MarkerList o, m;
  RangeTracker to(out.data(), int32_t(out.size())), tm(meta.data(), int32_t(meta.size()));
  segmentFile(o, to, out.data(), int32_t(out.size()));
  segmentFile(m, tm, meta.data(), int32_t(meta.size()));
  ASSERT_EQ(o.mpImages.size(), m.mpImages.size());
  if (m.mpImages.empty()) return;
  auto end = size_t(o.imageEnd - out.data());
  EXPECT_EQ(mpfSegment(o)->mpf->entries.at(0).size, end);
  for (size_t i = 0; i < o.mpImages.size(); ++i) {
    const MpImage &a = o.mpImages[i], &b = m.mpImages[i];
    EXPECT_EQ(a.start, int64_t(end)) << i;
    end += a.entry->size;
    const test::Bytes made(a.bytes(), a.bytes() + a.entry->size),
        was(b.bytes(), b.bytes() + b.entry->size);
    if (!b.entry->isPreview()) {
      EXPECT_EQ(made, was) << i;
      continue;
    }
    const test::TurboImage preview = test::decodeWithTurbo(made),
                           old = test::decodeWithTurbo(was, true);
    ASSERT_TRUE(preview.ok && preview.warnings == 0) << preview.error;
    EXPECT_EQ(preview.width * 100000 + preview.height, old.width * 100000 + old.height);
    EXPECT_GT(test::psnr(preview.rgb,
                         reference(source, preview.width, preview.height, preview.components == 1)),
              18.0);
  }
  EXPECT_EQ(end, out.size());
}

TEST(MergeFixtures, EverySuccessfulMergeDecodesCleanlyAndResemblesItsImageSource) {
  const ImagingSession session;
  const test::Bytes list = test::readFile(test::fixture("merge/merges.txt"));
  std::istringstream lines(std::string(list.begin(), list.end()));
  test::TempDir dir;
  int checked = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> argv = {TESSEL_JPGMERGE};
    std::istringstream words(line);
    for (std::string word; words >> word;)
      argv.push_back(word == "TIME" ? "2001:02:03 04:05:06" : word);
    std::string image, meta;  // the last of each counts
    for (size_t k = 1; k < argv.size(); ++k) {
      const std::string value = argv[k].size() > 2    ? argv[k].substr(2)
                                : k + 1 < argv.size() ? argv[k + 1]
                                                      : "";
      if (argv[k].rfind("-i", 0) == 0) image = value;
      if (argv[k].rfind("-m", 0) == 0) meta = value;
      if (argv[k].size() == 2 && argv[k] != "-") ++k;
    }
    argv.insert(argv.end(), {"-o", dir.file("out.jpg")});
    fs::remove(dir.file("out.jpg"));
    if (test::runProgram(argv, test::fixture("")).exitCode != 0) continue;
    SCOPED_TRACE(line);
    const auto out = test::decodeWithTurbo(test::readFile(dir.file("out.jpg")));
    const auto frame = test::decodeWithTurbo(test::readFile(test::fixture(meta)), true);
    EXPECT_TRUE(out.ok) << out.error;
    if (!out.ok) continue;
    EXPECT_EQ(out.warnings, 0);
    EXPECT_EQ(out.width * 100000 + out.height, frame.width * 100000 + frame.height);
    PixelImage source;
    loadImageSource(source, test::fixture(image));
    expectMpImages(test::readFile(dir.file("out.jpg")), test::readFile(test::fixture(meta)),
                   source);
    const double quality =
        test::psnr(out.rgb, reference(source, out.width, out.height, out.components == 1));
    // Against the merge's nine-point filter and chroma subsampling, the area average costs a few
    // dB on real pictures and more on tiny, partly transparent or extreme synthetic ones; a
    // turned, mirrored, shifted or wrongly coloured output costs far more. Enlarging more than
    // 8192 times holds the step at one unit: the picture then fills only part of the frame.
    bool opaque = true;
    for (size_t k = 3; k < size_t{source.width} * source.height * 4; k += 4)
      opaque &= source.pixels[k] == 65535;
    if (out.width > 8192 * source.width) continue;
    EXPECT_GT(quality, opaque && source.width >= 8 && source.height >= 8 ? 18.0 : 10.0);
    ++checked;
  }
  EXPECT_GT(checked, 60);
}

// Runs jpgmerge in a folder holding an image source, metadata sources and an existing output;
// the golden file lists each run's standard error, exit status and every change to the folder.
TEST(Jpgmerge, CommandLineAndFileHandling) {
  // New files get their mode from the creation mask; the golden lines assume the usual one.
  const mode_t mask = ::umask(022);
  test::TempDir dir;
  for (const auto& [from, to] : {std::pair{"pic17x9.png", "image.png"},
                                 {"x-ii.jpg", "meta.jpg"},
                                 {"r-progressive.jfif", "progressive.jpg"},
                                 {"m420.jpg", "linked.jpg"}}) {
    fs::copy_file(test::fixture(std::string("merge/") + from), dir.file(to));
    ::chmod(dir.file(to).c_str(), 0644);  // whatever mode the checkout gave the fixture
  }
  test::writeFile(dir.file("existing.jpg"), std::string("keep me"));
  ASSERT_EQ(::link(dir.file("linked.jpg").c_str(), dir.file("link2.jpg").c_str()), 0);
  ASSERT_EQ(::chmod(dir.file("existing.jpg").c_str(), 0640), 0);
  // Times with fractions of a second, in the past: the output takes them.
  const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("meta.jpg").c_str(), times, 0), 0);

  // One run a line, its arguments separated by blanks.
  const char* const cases[] = {
      "",
      "-x value",
      "i image.png -m meta.jpg -o new.jpg",
      "-i image.png -m meta.jpg -o",
      "-i image.png -m meta.jpg -o new.jpg extra",
      "-i -m meta.jpg -o new.jpg",
      "-i image.png -o existing.jpg -t 2001:02:03",
      "-m meta.jpg -o new.jpg",
      "-i image.png -m meta.jpg",
      "-i missing.png -m meta.jpg -o new.jpg",
      "-i image.png/x.png -m meta.jpg -o new.jpg",
      "-i image.png -m progressive.jpg -o new.jpg",
      "-i image.png -m progressive.jpg -o existing.jpg",
      "-i image.png -m nometa.jpg -o existing.jpg",
      "-i image.png -m meta.jpg -o meta.jpg",
      "-i image.png -m meta.jpg -o linked.jpg",
      "-i image.png -m meta.jpg -o sub/new.jpg",
      "-i image.png -m meta.jpg -o new.jpg -t",
      "-i image.png -m meta.jpg -o existing.jpg -t 2001:02:03_04:05:06",
      "-i image.png -m meta.jpg -o image.png",
      "--help",
      "-i --help -m meta.jpg -o new.jpg --version",  // a value, then the option
      "-x --version",
  };
  ::umask(022);
  std::ostringstream out;
  auto before = test::snapshotDirectory(dir.path());
  for (const char* line : cases) {
    std::vector<std::string> argv = {TESSEL_JPGMERGE};
    std::istringstream words(line);
    for (std::string word; words >> word;) argv.push_back(word);
    const auto run = test::runProgram(argv, dir.path());
    out << "$ jpgmerge " << line;
    out << "\n" << run.out << "--- stderr\n" << run.err << "--- exit " << run.exitCode << "\n";
    // Times and modes before anything reads the files (a read may set the access time).
    std::map<std::string, struct stat> stats;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      ::stat(entry.path().c_str(), &stats[entry.path().filename()]);
    }
    const struct stat meta = stats["meta.jpg"];  // its access time is the read's
    const auto after = test::snapshotDirectory(dir.path());
    for (const auto& [name, file] : after) {
      const auto old = before.find(name);
      if (old != before.end() && old->second.first == file.first) continue;
      const struct stat& s = stats[name];
      out << "--- written " << name << " " << test::hashOf(file.first) << " " << file.first.size()
          << " mode " << std::oct << (s.st_mode & 07777) << std::dec << " modified "
          << s.st_mtim.tv_sec << "." << s.st_mtim.tv_nsec << " accessed "
          << (s.st_atim.tv_sec == meta.st_atim.tv_sec && s.st_atim.tv_nsec == meta.st_atim.tv_nsec
                  ? "as meta.jpg"
                  : "otherwise")
          << "\n";
    }
    for (const auto& [name, file] : before) {
      if (!after.count(name)) out << "--- removed " << name << "\n";
    }
    before = after;
  }
  ::umask(mask);
  test::expectGolden("merge-cli.txt", test::withoutBuildDetails(out.str()));
}

// A disk that fills up while the output is written, for real: a 400 KB tmpfs.
TEST(Jpgmerge, AFullDiskLeavesAnExistingOutputAsItWasAndANewOneAbsent) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  test::TempDir dir;
  const std::string disk = dir.file("disk");
  ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=400k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  // A 320 x 240 picture of noise under quantizers of 1: about 210 KB.
  const std::string image = test::fixture("merge/tile320x240.png");
  const std::string meta = test::fixture("merge/m320x240.jpg");
  auto merge = [&](const std::string& output) {
    return test::runProgram({TESSEL_JPGMERGE, "-i", image, "-m", meta, "-o", output});
  };
  ASSERT_EQ(merge(dir.file("merged.jpg")).exitCode, 0);
  const size_t needed = test::readFile(dir.file("merged.jpg")).size();
  ASSERT_GT(needed, 100000u);
  test::writeFile(disk + "/existing.jpg", test::Bytes(20000, 0x5A));
  ASSERT_EQ(::chmod((disk + "/existing.jpg").c_str(), 0640), 0);
  test::writeFile(disk + "/filler", test::Bytes(400 * 1024 - 20000 - needed / 2, 0));
  const auto files = test::snapshotDirectory(disk);
  for (const std::string& output : {disk + "/existing.jpg", disk + "/new.jpg"}) {
    const auto result = merge(output);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "Exception: File " + output + ": failed on WriteFile: No space left on device\n");
  }
  EXPECT_EQ(test::snapshotDirectory(disk), files);
  // With room again, the output is replaced and keeps its mode.
  ASSERT_EQ(::unlink((disk + "/filler").c_str()), 0);
  ASSERT_EQ(merge(disk + "/existing.jpg").exitCode, 0);
  EXPECT_EQ(test::readFile(disk + "/existing.jpg"), test::readFile(dir.file("merged.jpg")));
  struct stat after;
  ASSERT_EQ(::stat((disk + "/existing.jpg").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
}

// planMerge, row by row of the README's table of refusals: one source for each, made of the
// colour frame of 16 x 16 pixels, its tables and its scan, with one thing changed.
TEST(PlanMerge, RefusesEachSourceOfTheTable) {
  using test::Bytes;
  const Bytes dqt = test::dqtSegment(0, 4), dht = test::dhtSegment({{0x00, {{0}}}, {0x10, {{0}}}}),
              sof = test::sofSegment(0xC0, 16, 16, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}),
              sos = test::sosSegment({{1, 0x00}, {2, 0x00}, {3, 0x00}}), data(16, 0x12);
  const auto frame = [](std::initializer_list<test::FrameEntry> c, uint32_t w = 16) {
    return test::sofSegment(0xC0, w, 16, c);
  };
  const auto app0 = [](uint8_t major) {
    return test::segment(0xE0, {'J', 'F', 'I', 'F', 0, major, 1, 0, 0, 1, 0, 1, 0, 0});
  };
  std::vector<std::vector<uint8_t>> many(16, std::vector<uint8_t>(16, 0));  // 257 codes
  many[15].push_back(0);
  Bytes precision2(65, 0x24);
  precision2[0] = 0x20;
  const std::pair<std::vector<Bytes>, std::string> rows[] = {
      {{dqt, dht, sos, data}, msg::kMergeMissingSof},
      {{sof, dht, sos, data}, msg::kMergeMissingDqt},
      {{dqt, sof, dht}, msg::kMergeMissingSos},
      {{dqt, sof, sof, dht, sos, data}, msg::kMergeOneSof},
      {{dqt, test::segment(0xDF, {0}), sof, dht, sos, data},
       "Merge cannot copy marker df: only APPn, COM, DQT, DHT, DRI, SOF0 and SOS may precede the "
       "scan"},
      {{dqt, test::segment(0xC0, {8, 0, 16, 0, 16, 1, 1, 0x11, 0, 0}), dht,
        test::sosSegment({{1, 0}}), data},
       "Merge needs a SOF segment whose length fits its content"},
      {{test::segment(0xDB, precision2), sof, dht, sos, data}, msg::kMergeQuantPrecision},
      {{test::dqtSegment(4), sof, dht, sos, data}, msg::kInvalidQuantIndex},
      {{dqt, dqt, sof, dht, sos, data}, msg::kDuplicateQuantIndex},
      {{dqt, frame({{1, 0x11, 1}, {2, 0x11, 0}, {3, 0x11, 0}}), dht, sos, data},
       msg::kMissingQuantTable},
      {{test::dqtSegment(0, 0), sof, dht, sos, data}, msg::kMergeInvalidQuantValue},
      {{dqt, frame({{1, 0x11, 0}, {2, 0x11, 0}, {5, 0x11, 0}}), dht, sos, data},
       msg::kMergeInvalidComponentId},
      {{dqt, frame({{1, 0x11, 0}, {1, 0x11, 0}, {2, 0x11, 0}}), dht, sos, data},
       msg::kMergeDuplicateComponentId},
      {{dqt, sof, dht, test::sosSegment({{2, 0}, {1, 0}, {3, 0}}), data},
       msg::kMergeScanComponents},
      {{dqt, sof, dht, test::sosSegment({{1, 0}, {2, 0}}), data}, msg::kMissingHuffmanTable},
      {{dqt, sof, dht, test::sosSegment({{1, 0}, {2, 0x11}, {3, 0}}), data},
       msg::kMergeMissingHuffmanTable},
      {{dqt, sof, dht, test::dhtSegment({{0x01, {{0}}}}), sos, data}, msg::kInvalidHuffmanId},
      {{dqt, sof, test::dhtSegment({{0x00, {{0}}}, {0x10, many}}), sos, data},
       msg::kMergeHuffmanTableSize},
      {{app0(2), dqt, sof, dht, sos, data}, "Merge cannot copy a JFIF segment of version 2.01"},
      {{test::segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0}), dqt, sof, dht, sos,
        data},
       "Merge needs YCbCr colour, but the Adobe segment names colour transform 0"},
      {{dqt, frame({{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}, 0), dht, sos, data},
       "Unsupported image size (width=0, height=16)"},
      {{dqt, sof, dht, sos, Bytes(1, 0x12)},
       "Compressed data of 1 bytes is too short for an image of 16 x 16 pixels"},
      {{dqt, test::sofSegment(0xC2, 16, 16, {{1, 0x11, 0}}), dht, sos, data},
       msg::kMergeBaselineOnly},
      {{dqt, frame({{1, 0x41, 0}, {2, 0x11, 0}, {3, 0x11, 0}}), dht, sos, data},
       "Unsupported sampling ( comp 1: 4 x 1 comp 2: 1 x 1 comp 3: 1 x 1 )"},
  };
  for (const auto& [segments, refusal] : rows) {
    Bytes file = test::kSoi;
    for (const Bytes& s : segments) file.insert(file.end(), s.begin(), s.end());
    file.insert(file.end(), test::kEoi.begin(), test::kEoi.end());
    MarkerList list;
    RangeTracker tracker(file.data(), int32_t(file.size()));
    segment(list, tracker, file.data(), int32_t(file.size()));
    EncodeState state;
    EXPECT_EQ(test::messageOf([&] { planMerge(state, list); }), refusal);
  }
}

// A background other than black shows through transparent pixels as opaque pixels of its colour
// would; and the DHT write refuses on its own what the checks before it refuse in a merge.
TEST(MergeWriter, BackgroundShowsThroughAndTheDhtWriteChecksItsTables) {
  const test::Bytes dqt = test::dqtSegment(0, 4),
                    dht = test::dhtSegment({{0x00, {{0}}}, {0x10, {{0}}}});
  const test::Bytes grey =
      test::concat({test::kSoi, dqt, test::sofSegment(0xC0, 16, 16, {{1, 0x11, 0}}), dht,
                    test::sosSegment({{1, 0x00}}), test::Bytes(16, 0x12), test::kEoi});
  const test::Bytes colour = test::concat(
      {test::kSoi, dqt, test::sofSegment(0xC0, 16, 16, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}),
       dht, test::sosSegment({{1, 0x00}, {2, 0x00}, {3, 0x00}}), test::Bytes(16, 0x12),
       test::kEoi});
  PixelImage image;
  image.setPixels(16, 16, platform::allocatePixels(16, 16));
  const auto fill = [&](uint16_t r, uint16_t g, uint16_t b, uint16_t a) {
    for (size_t i = 0; i < 16 * 16 * 4; i += 4) {
      image.pixels[i] = r, image.pixels[i + 1] = g, image.pixels[i + 2] = b,
      image.pixels[i + 3] = a;
    }
  };
  EncodeState state;
  const auto merge = [&](const test::Bytes& file, Background background = {}) {
    MarkerList list;
    RangeTracker tracker(file.data(), int32_t(file.size()));
    segment(list, tracker, file.data(), int32_t(file.size()));
    state = EncodeState{};
    planMerge(state, list);
    encodeImage(state, image, background);
    return test::hashOf(encodeJpegFile(image, list, PropertyList{}, background));
  };
  for (const test::Bytes& file : {grey, colour}) {
    fill(40000, 20000, 10000, 65535);
    const std::string opaque = merge(file);
    fill(1234, 50000, 777, 0);
    EXPECT_EQ(merge(file, {40000, 20000, 10000}), opaque);
  }
  // The state now has code tables for DC 0 and AC 0 only.
  for (uint8_t id : {0x20, 0x04, 0x01, 0x11}) {
    HuffmanTableSpec table;
    table.classAndIndex = id;
    EXPECT_EQ(test::messageOf([&] {
                SegmentBuffer out;
                writeDhtSegment(state, {table}, out);
              }),
              msg::kInvalidHuffmanId);
  }
}

// Rounding, with limits that no 8-bit picture reaches.
TEST(MergeWriter, RoundsHalfAwayFromZeroWithinSymmetricLimits) {
  const std::pair<float, int16_t> cases[] = {{0.49f, 0},
                                             {0.5f, 1},
                                             {-2.5f, -3},
                                             {32766.5f, 32767},
                                             {0.49999997f, 1},
                                             {-32767.5f, -32767},
                                             {-40000.0f, -32767},
                                             {std::nanf(""), -32767},
                                             {std::numeric_limits<float>::infinity(), 32767}};
  for (const auto& [value, expected] : cases) {
    float block[64] = {};
    block[8] = value;  // natural index 8 is zig-zag position 2
    int16_t out[64];
    roundBlock(block, out);
    EXPECT_EQ(out[2], expected) << value;
    EXPECT_EQ(out[1] | out[3], 0);
  }
}

}  // namespace
}  // namespace tessel
