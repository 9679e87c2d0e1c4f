// jpgmerge against independent tools, with every real file as the metadata source: first of the
// smooth picture at its frame size, then of its own pixels as libjpeg-turbo decodes them, lightly
// blurred, with -t. A merge that succeeds writes a file that libjpeg-turbo decodes without a
// warning, with the source's segments, metadata (as exiv2 reads it) and file times, a new
// thumbnail (as exiftool extracts it), Huffman tables as small as jpegtran -optimize makes and
// quality as good as cjpeg's with the same tables. One that fails prints one line and leaves the
// output alone, and only sources whose structure explains it are refused.

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <numeric>

#include "conformance/conformance.h"

namespace tessel::test {
namespace {

namespace fs = std::filesystem;

// The end of a merged file's own image: the first FF D9 after its scan header, since the scan
// holds no marker. Only the MP images of a multi-picture source follow it.
size_t imageEnd(const Bytes& file) {
  const Facts f(file);
  for (size_t i = f.scanStart; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xD9) return i + 2;
  }
  return file.size();
}

// libjpeg-turbo decodes the output without a warning at the frame size. Its segments up to the
// scan are the source's in their order, DRI left out, DHT with the same tables under the same
// numbers, the Exif APP1 never shorter, a multi-picture index of the same length (its sizes and
// offsets rewritten), every other one byte for byte. The scan holds no marker (no restart
// markers either) and the image ends with EOI; MP images may follow.
void expectMergedFile(const Facts& source, const Bytes& output) {
  const TurboImage decoded = decodeWithTurbo(output);
  EXPECT_TRUE(decoded.ok && decoded.warnings == 0) << decoded.error << " " << decoded.warnings;
  EXPECT_EQ(std::pair(decoded.width, decoded.height), std::pair(source.width, source.height));
  const auto tables = [](const Bytes& s) {  // the class and number bytes of a DHT's tables
    Bytes ids;
    for (size_t at = 4; at + 17 <= s.size();
         at += 17 + std::accumulate(&s[at + 1], &s[at + 17], 0)) {
      ids.push_back(s[at]);
    }
    return ids;
  };
  const Facts out(output);
  std::vector<Segment> expected = source.segments;
  std::erase_if(expected, [](const Segment& s) { return s.code == 0xDD; });
  ASSERT_EQ(out.segments.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Bytes &in = expected[i].bytes, &written = out.segments[i].bytes;
    const bool index = in[1] == 0xE2 && in.size() >= 8 && std::memcmp(&in[4], "MPF", 4) == 0;
    EXPECT_TRUE(in[1] == 0xC4 ? tables(written) == tables(in)
                : source.exif() && expected[i].offset == source.exif()->offset
                    ? written.size() >= in.size()
                : index ? written.size() == in.size()
                        : written == in)
        << "segment " << i;
  }
  const size_t end = imageEnd(output);
  bool clean = end > out.scanStart + 2 && output[end - 2] == 0xFF && output[end - 1] == 0xD9;
  for (size_t i = out.scanStart; i + 2 < end; ++i) {
    clean = clean && (output[i] != 0xFF || output[i + 1] == 0x00);
  }
  EXPECT_TRUE(clean);
}

// `exiv2 -q -pa`, single-spaced, without the thumbnail's length (which a merge changes); `dated`:
// with the three dates that -t overwrites where they have 20 bytes.
std::vector<std::string> exivRecords(const std::string& path, bool dated = false) {
  std::istringstream lines(runProgram({"exiv2", "-q", "-pa", path}).out);
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string key, type, count, value;
    fields >> key >> type >> count >> std::ws;
    std::getline(fields, value);
    const bool date = key == "Exif.Image.DateTime" || key == "Exif.Photo.DateTimeOriginal" ||
                      key == "Exif.Photo.DateTimeDigitized";
    if (dated && date && count == "20") value = kDate;
    if (key != "Exif.Thumbnail.JPEGInterchangeFormatLength") {
      records.push_back(key + " " + type + " " + count + " " + value);
    }
  }
  return records;
}

// The refusal that a metadata source's structure explains: what the segment reader refuses, a
// process other than baseline Huffman, component IDs of 4 or more, a layout other than the five,
// a colour file without JFIF whose Adobe segment says RGB. "" when it must merge; "*" when
// libjpeg-turbo warns about its data: it may merge or be refused.
std::string expectedRefusal(const std::string& path, const Facts& f, const TurboImage& turbo) {
  const std::string parsed = messageOf([&] { JPEGReader(path).parse(); });
  const bool highId =
      std::any_of(f.components.begin(), f.components.end(), [](auto& c) { return c.id >= 4; });
  if (parsed != "(no exception)") return parsed;
  if (f.sof != 0xC0) return "Merge only supports baseline Huffman";
  if (highId && !f.slotsByPosition()) return "Invalid component ID";
  if (!f.layoutSupported()) return f.samplingRefusal();
  if (f.components.size() == 3 && f.jfifMajor < 0 && f.adobeTransform >= 0 &&
      f.adobeTransform != 1) {
    return "Merge needs YCbCr colour, but the Adobe segment names colour transform " +
           std::to_string(f.adobeTransform);
  }
  return turbo.ok && turbo.warnings == 0 ? "" : "*";
}

int64_t mtime(const std::string& path) {
  struct stat s = {};
  ::stat(path.c_str(), &s);
  return int64_t(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
}

TEST_P(RealFile, MergesOrRefusesByItsStructure) {
  for (const char* tool : {"exiv2", "exiftool", "gm", "cjpeg", "jpegtran"}) {
    if (!haveTool(tool)) GTEST_SKIP() << tool << " missing";
  }
  TempDir dir;
  const std::string meta = dir.file("meta.jpg"), out = dir.file("out.jpg"),
                    own = dir.file("own.jpg");
  // A copy with times that have sub-second parts, which the output must take.
  fs::copy_file(GetParam(), meta);
  const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ::utimensat(AT_FDCWD, meta.c_str(), times, 0);
  const Bytes source = readFile(meta);
  const Facts f(source);
  const TurboImage pixels = decodeWithTurbo(source);
  const std::string refusal = expectedRefusal(meta, f, pixels);

  // The smooth picture at the frame size, so that nothing is stretched.
  const uint32_t width = std::max(f.width, 1u), height = std::max(f.height, 1u);
  const std::vector<float> picture = smoothPicture(width, height);
  writePpm(dir.file("picture.ppm"), width, height, picture);
  const std::vector<std::string> argv = {
      TESSEL_JPGMERGE, "-i", dir.file("picture.ppm"), "-m", meta, "-o", out};
  const RunResult run = runProgram(argv);
  EXPECT_EQ(run.out, "");
  if (run.exitCode != 0) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.starts_with("Exception: ") && run.err.find('\n') == run.err.size() - 1)
        << run.err;
    EXPECT_TRUE(refusal == "*" || run.err == "Exception: " + refusal + "\n")
        << run.err << "expected: " << (refusal.empty() ? "a merge" : refusal);
    EXPECT_FALSE(fs::exists(out));
    writeFile(out, std::string("an older output"));  // which a failing run leaves as it was
    const DirectorySnapshot before = snapshotDirectory(dir.path());
    EXPECT_EQ(runProgram(argv).err, run.err);
    EXPECT_EQ(snapshotDirectory(dir.path()), before);
    return;
  }
  EXPECT_TRUE(refusal.empty() || refusal == "*") << refusal;
  EXPECT_EQ(run.err, "");
  const Bytes output = readFile(out);
  expectMergedFile(f, output);
  EXPECT_EQ(exivRecords(out), exivRecords(meta));
  EXPECT_EQ(mtime(out), mtime(meta));
  EXPECT_GE(yccPsnr(output, picture, false, 1), f.lumaBound());
  // In frames of fewer than 4096 pixels the colour figure would measure a few edge pixels.
  if (f.components.size() == 3 && double(f.width) * f.height >= 4096) {
    EXPECT_GE(psnr(decodeWithTurbo(output).rgb, Bytes(picture.begin(), picture.end())),
              kColourBound);
  }

  // When the source has a JPEG thumbnail: a new one at its frame size that shows the picture (as
  // GraphicsMagick reduces it). The Exif block keeps its bytes up to the thumbnail but the four of
  // the thumbnail's length, then holds the new one, zeros up to the old one's end and what
  // followed it; it grows only as far as the new thumbnail ends. Otherwise it is copied as it is.
  runProgram({"exiftool", "-q", "-b", "-ThumbnailImage", "-w", "%d%f_thumb.jpg", meta, out});
  const Bytes oldThumb = readFile(dir.file("meta_thumb.jpg")),
              thumb = readFile(dir.file("out_thumb.jpg"));
  const TurboImage oldHeader = decodeWithTurbo(oldThumb, true), decoded = decodeWithTurbo(thumb);
  const Facts written(output);
  ASSERT_EQ(!written.exif(), !f.exif());
  if (f.exif() && !oldHeader.ok) {
    EXPECT_TRUE(thumb == oldThumb && written.exif()->bytes == f.exif()->bytes);
  } else if (f.exif()) {
    ASSERT_TRUE(decoded.ok && decoded.warnings == 0) << decoded.error;
    ASSERT_EQ(std::pair(decoded.width, decoded.height),
              std::pair(oldHeader.width, oldHeader.height));
    const std::string size =
        std::to_string(decoded.width) + "x" + std::to_string(decoded.height) + "!";
    runProgram({"gm", "convert", dir.file("picture.ppm"), "-resize", size, dir.file("thumb.ppm")});
    const Bytes reduced = readFile(dir.file("thumb.ppm"));
    EXPECT_GE(psnr(decoded.rgb, Bytes(reduced.end() - decoded.rgb.size(), reduced.end())),
              kColourBound);
    size_t start = 0;  // the thumbnail's offset in the segment
    for (const std::string& r : exivRecords(meta)) {
      if (r.starts_with("Exif.Thumbnail.JPEGInterchangeFormat ")) {
        start = 10 + std::stoul(r.substr(r.rfind(' ')));
      }
    }
    const Bytes &x = f.exif()->bytes, &y = written.exif()->bytes;
    ASSERT_EQ(y.size(), std::max(x.size(), start + thumb.size()));
    std::vector<size_t> differing;
    for (size_t i = 4; i < start; ++i) {
      if (x[i] != y[i]) differing.push_back(i);
    }
    EXPECT_TRUE(differing.empty() ||
                (differing.size() <= 4 && differing.back() - differing[0] < 4));
    EXPECT_TRUE(std::equal(thumb.begin(), thumb.end(), y.begin() + start));
    for (size_t i = start + thumb.size(); i < y.size(); ++i) {
      ASSERT_EQ(y[i], i < std::min(start + oldThumb.size(), x.size()) ? 0 : x[i]) << "byte " << i;
    }
  }
  if (!pixels.ok) return;

  // The file's own pixels with a 3 x 3 box blur: pixels that libjpeg decoded from these very
  // tables re-encode almost losslessly through libjpeg's own colour conversion, an advantage that
  // says nothing about the encoders compared below.
  std::vector<float> blurred(pixels.rgb.size());
  const int w = int(f.width), h = int(f.height);
  for (size_t i = 0; i < blurred.size(); ++i) {
    const int x = int(i / 3) % w, y = int(i / 3) / w;
    for (int d = 0; d < 9; ++d) {
      const int at = std::clamp(y + d / 3 - 1, 0, h - 1) * w + std::clamp(x + d % 3 - 1, 0, w - 1);
      blurred[i] += pixels.rgb[3 * at + i % 3];
    }
    blurred[i] = std::floor((blurred[i] + 4) / 9);
  }
  writePpm(dir.file("own.ppm"), f.width, f.height, blurred);
  // With -t, unless a date the source holds is not of 20 bytes, which the override cannot fill.
  bool datable = true;
  for (const std::string& r : exivRecords(meta)) {
    datable &= !(r.starts_with("Exif.Image.DateTime ") || r.starts_with("Exif.Photo.DateTime")) ||
               r.find(" Ascii 20 ") != std::string::npos;
  }
  std::vector<std::string> ownArgv = {
      TESSEL_JPGMERGE, "-i", dir.file("own.ppm"), "-m", meta, "-o", own, "-t", kDate};
  if (!datable) {
    EXPECT_EQ(runProgram(ownArgv).err, "Exception: Size mismatch in overridden property\n");
    ownArgv.resize(7);
  }
  const RunResult dated = runProgram(ownArgv);
  ASSERT_EQ(dated.exitCode, 0) << dated.err;
  const Bytes ownOutput = readFile(own);
  expectMergedFile(f, ownOutput);
  EXPECT_EQ(exivRecords(own), exivRecords(meta, datable));
  EXPECT_GE(yccPsnr(ownOutput, blurred, false, 1), f.lumaBound());
  // The project's decoder reads it as libjpeg-turbo does (blue and rare samples within 3).
  PixelImage ours;
  ASSERT_EQ(decodeFile(own, ours), "(no exception)");
  const Agreement a = agreementWithTurbo(ours, ownOutput);
  EXPECT_LE(*std::max_element(a.max, a.max + 3), 3);
  EXPECT_LE(a.aboveTwo, 2 + 1e-5 * double(a.samples));

  // No more entropy-coded data than jpegtran -optimize makes of the same coefficients (+0.1 %).
  // jpegtran recodes the blocks lying wholly outside the image in partial MCUs, where this
  // encoder codes the replicated edge: the coefficients are the same only in whole MCUs.
  if (f.width % (8 * f.maxH) == 0 && f.height % (8 * f.maxV) == 0) {
    ASSERT_EQ(runProgram({"jpegtran", "-optimize", "-outfile", dir.file("opt.jpg"), own}).exitCode,
              0);
    const Bytes optimized = readFile(dir.file("opt.jpg"));
    EXPECT_LE(double(imageEnd(ownOutput) - Facts(ownOutput).scanStart),
              1.001 * double(imageEnd(optimized) - Facts(optimized).scanStart));
  }

  // Quality against cjpeg -dct float with the same tables (in natural order, numbered from 0 in
  // file order) and sampling, on the same pixels: within 0.3 dB in each encoder's own Y, 0.6 dB
  // over Y, Cb, Cr, and within 2 dB in RGB (this encoder's colour weights are not quite the
  // inverse of the JFIF conversion, which moves saturated colours by up to a level). The blurred
  // pixels still lie a little closer to the lattice of the source's own quantized chroma under
  // the JFIF conversion, which cjpeg uses: with fine chroma tables that is worth up to half a dB
  // in Cb and Cr. Not on a handful of pixels.
  if (double(f.width) * f.height < 4096) return;
  std::string tables, slots, sampling;
  std::map<int, int> slotOf;
  for (const auto& [number, zigzag] : f.tables) {
    std::vector<int> natural(64), order(64);  // order[k]: the place of the k-th value in zigzag
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [](int a, int b) {
      const auto key = [](int n) {
        return std::pair(n % 8 + n / 8, (n % 8 + n / 8) % 2 ? n / 8 : n % 8);
      };
      return key(a) < key(b);
    });
    for (int k = 0; k < 64; ++k) natural[order[k]] = zigzag[k];
    for (int q : natural) tables += std::to_string(q) + " ";
    slotOf.emplace(number, int(slotOf.size()));
  }
  for (const Component& c : f.components) {
    slots.append(slots.empty() ? "" : ",").append(std::to_string(slotOf[c.table]));
    sampling.append(sampling.empty() ? "" : ",").append({char('0' + c.h), 'x', char('0' + c.v)});
  }
  writeFile(dir.file("tables.txt"), tables);
  const int planes = f.components.size() == 1 ? 1 : 3;
  ASSERT_EQ(runShell("cjpeg -dct float " + std::string(planes == 1 ? "-grayscale " : "") +
                         "-qtables tables.txt -qslots " + slots + " -sample " + sampling +
                         " -outfile cjpeg.jpg own.ppm",
                     dir.path())
                .exitCode,
            0);
  const Bytes theirs = readFile(dir.file("cjpeg.jpg")), rounded(blurred.begin(), blurred.end());
  const Facts cj(theirs);  // the source's tables and sampling, component by component
  for (size_t i = 0; i < f.components.size(); ++i) {
    const Component &a = f.components[i], &b = cj.components.at(i);
    EXPECT_TRUE(a.h == b.h && a.v == b.v && f.tables.at(a.table) == cj.tables.at(b.table)) << i;
  }
  EXPECT_GE(yccPsnr(ownOutput, blurred, false, 1), yccPsnr(theirs, blurred, true, 1) - 0.3);
  EXPECT_GE(yccPsnr(ownOutput, blurred, false, planes),
            yccPsnr(theirs, blurred, true, planes) - (planes == 1 ? 0.3 : 0.6));
  EXPECT_GE(psnr(decodeWithTurbo(ownOutput).rgb, rounded),
            psnr(decodeWithTurbo(theirs).rgb, rounded) - 2);
}

}  // namespace
}  // namespace tessel::test
