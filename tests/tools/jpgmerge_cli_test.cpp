#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../../tools/jpgmerge/merge_options.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::TempDir;
namespace fs = std::filesystem;

// --- Command line -------------------------------------------------------------------------------

bool parse(std::vector<const char*> args, jpgmerge::MergeOptions& options) {
  args.insert(args.begin(), "jpgmerge");
  return jpgmerge::parseMergeOptions(int(args.size()), args.data(), options);
}

TEST(MergeOptionsTest, ValuesComeFromTheSameOrTheNextArgument) {
  jpgmerge::MergeOptions o;
  ASSERT_TRUE(parse({"-ifoo.jpg", "-m", "meta.jpg", "-", "-oout.jpg", "-t", "-x"}, o));
  EXPECT_EQ(*o.imageSource, "foo.jpg");
  EXPECT_EQ(*o.metadataSource, "meta.jpg");
  EXPECT_EQ(*o.output, "out.jpg");
  EXPECT_EQ(*o.timestamp, "-x");  // the next argument is consumed whatever it looks like

  jpgmerge::MergeOptions last;
  ASSERT_TRUE(parse({"-i", "a", "-m", "b", "-o", "c", "-i", "d", "-t", "x", "-t"}, last));
  EXPECT_EQ(*last.imageSource, "d");         // the last value wins
  EXPECT_FALSE(last.timestamp.has_value());  // -t at the very end has no value
}

TEST(MergeOptionsTest, TimestampFillsTwentyBytesOfThreeDateTags) {
  PropertyList nineteen;
  jpgmerge::setDateOverrides(nineteen, "2001:02:03 04:05:06");
  ASSERT_EQ(nineteen.count(), 3u);
  const uint32_t order[] = {306, 36868, 36867};
  for (size_t i = 0; i < 3; ++i) {
    const Property& p = nineteen.items()[i];
    EXPECT_EQ(p.tag, order[i]);
    EXPECT_EQ(p.count, 20u);
    EXPECT_EQ(std::memcmp(p.data(), "2001:02:03 04:05:06\0", 20), 0);
  }
  PropertyList longer;
  jpgmerge::setDateOverrides(longer, "2001:02:03 04:05:06 and more");
  EXPECT_EQ(std::memcmp(longer.items()[0].data(), "2001:02:03 04:05:06 ", 20), 0);
  PropertyList shorter;
  jpgmerge::setDateOverrides(shorter, "2001");
  EXPECT_EQ(std::memcmp(shorter.items()[2].data(), "2001\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20), 0);
}

// --- The program
// ----------------------------------------------------------------------------------

class JpgmergeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveTool("gm")) GTEST_SKIP() << "GraphicsMagick's gm is not installed";
    sh("gm convert -size 40x30 gradient:red-blue -depth 8 -type TrueColor image.png");
    sh("gm convert -size 64x48 gradient:green-yellow -quality 90 meta.jpg");
    // An output that existed before the run.
    test::writeFile(dir_.file("existing.jpg"), std::string("keep me"));
  }

  void sh(const std::string& command) {
    const auto result = test::runShell("cd '" + dir_.path() + "' && " + command);
    ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
  }

  test::RunResult merge(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TESSEL_JPGMERGE};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::runProgram(argv, dir_.path());
  }

  test::DirectorySnapshot snapshot() const { return test::snapshotDirectory(dir_.path()); }

  TempDir dir_;
};

TEST_F(JpgmergeTest, UsageErrorsTouchNothing) {
  const std::string usage =
      std::string("usage: ") + TESSEL_JPGMERGE +
      " -i <image source> -m <meta-data source> -o <output> [-t <timestamp>]\n";
  const auto before = snapshot();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-x", "value"},
      {"-i", "image.png", "-m", "meta.jpg", "-o"},  // no value after the last option
      {"-i", "image.png", "-m", "meta.jpg", "-o", "new.jpg", "extra"},
      {"-i", "-m", "meta.jpg", "-o", "new.jpg"},  // -i takes "-m"; meta.jpg is then stray
      {"-i", "image.png", "-o", "existing.jpg", "-t", "2001:02:03 04:05:06"},
  };
  for (const auto& args : cases) {
    const auto result = merge(args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, usage);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(snapshot(), before);
}

TEST_F(JpgmergeTest, InputErrorsLeaveTheOutputAlone) {
  // Starts with an APP0 marker instead of SOI.
  test::writeFile(dir_.file("notjpeg.jpg"), Bytes{0xFF, 0xE0, 0x00, 0x04, 0, 0, 0xFF, 0xD9});
  const auto before = snapshot();
  for (const char* output : {"new.jpg", "existing.jpg"}) {
    SCOPED_TRACE(output);
    auto result = merge({"-i", "missing.png", "-m", "meta.jpg", "-o", output});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Exception: Error reading missing.png: File Not Found\n");
    EXPECT_EQ(result.out, "");

    result = merge({"-i", "image.png", "-m", "notjpeg.jpg", "-o", output});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Exception: Missing JPEG SOI\n");

    result = merge({"-i", "image.png", "-m", "nometa.jpg", "-o", output});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind("Exception: File nometa.jpg: failed on CreateFile: ", 0), 0u)
        << result.err;
  }
  // The metadata source cannot be its own output.
  const auto self = merge({"-i", "image.png", "-m", "meta.jpg", "-o", "meta.jpg"});
  EXPECT_EQ(self.exitCode, 1);
  EXPECT_EQ(self.err.rfind("Exception: File meta.jpg: failed on CreateFile: ", 0), 0u) << self.err;
  EXPECT_EQ(snapshot(), before);
}

TEST_F(JpgmergeTest, AFailedWriteRemovesANewOutputAndKeepsAnOldOne) {
  sh("gm convert -size 64x48 gradient:green-yellow -interlace Line progressive.jpg");
  const auto before = snapshot();
  for (const char* output : {"new.jpg", "existing.jpg"}) {
    const auto result = merge({"-i", "image.png", "-m", "progressive.jpg", "-o", output});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Exception: Merge only supports baseline Huffman\n");
  }
  EXPECT_EQ(snapshot(), before);
}

// A disk that fills up while the output is written, for real: a 200 KB tmpfs.
TEST_F(JpgmergeTest, AFullDiskLeavesAnExistingOutputAsItWasAndANewOneAbsent) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string disk = dir_.file("disk");
  ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=200k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};

  sh("gm convert -size 641x479 plasma:fractal -blur 0x3 -depth 8 big.png && "
     "gm convert -size 641x479 gradient:red-blue -quality 95 big.jpg");
  ASSERT_EQ(merge({"-i", "big.png", "-m", "big.jpg", "-o", "merged.jpg"}).exitCode, 0);
  const size_t needed = test::readFile(dir_.file("merged.jpg")).size();
  // An existing output and a filler that leaves less room than the merge needs.
  const Bytes old(20000, 0x5A);
  test::writeFile(disk + "/existing.jpg", old);
  ASSERT_EQ(::chmod((disk + "/existing.jpg").c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(::stat((disk + "/existing.jpg").c_str(), &before), 0);
  test::writeFile(disk + "/filler", Bytes(200 * 1024 - 20000 - needed / 2, 0));
  const auto files = test::snapshotDirectory(disk);

  for (const char* output : {"disk/existing.jpg", "disk/new.jpg"}) {
    const auto result = merge({"-i", "big.png", "-m", "big.jpg", "-o", output});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, std::string("Exception: File ") + output +
                              ": failed on WriteFile: No space left on device\n");
  }
  EXPECT_EQ(test::snapshotDirectory(disk), files);
  struct stat after;
  ASSERT_EQ(::stat((disk + "/existing.jpg").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);

  // With room again, the output is replaced and keeps its mode.
  ASSERT_EQ(::unlink((disk + "/filler").c_str()), 0);
  ASSERT_EQ(merge({"-i", "big.png", "-m", "big.jpg", "-o", "disk/existing.jpg"}).exitCode, 0);
  EXPECT_EQ(test::readFile(disk + "/existing.jpg"), test::readFile(dir_.file("merged.jpg")));
  ASSERT_EQ(::stat((disk + "/existing.jpg").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
}

TEST_F(JpgmergeTest, MergesAndTakesTheMetadataSourcesTimes) {
  if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  sh("exiftool -q -overwrite_original -Make=Maker '-DateTimeOriginal=1999:01:01 00:00:00' "
     "'-ModifyDate=1999:01:01 00:00:00' '-CreateDate=1999:01:01 00:00:00' meta.jpg");
  // Times with sub-second parts, in the past.
  const timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir_.file("meta.jpg").c_str(), times, 0), 0);

  const auto result =
      merge({"-i", "image.png", "-m", "meta.jpg", "-o", "out.jpg", "-t", "2001:02:03 04:05:06"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out + result.err, "");

  struct stat meta, out;
  ASSERT_EQ(::stat(dir_.file("meta.jpg").c_str(), &meta), 0);
  ASSERT_EQ(::stat(dir_.file("out.jpg").c_str(), &out), 0);
  EXPECT_EQ(out.st_mtim.tv_sec, meta.st_mtim.tv_sec);
  EXPECT_EQ(out.st_mtim.tv_nsec, meta.st_mtim.tv_nsec);
  EXPECT_EQ(out.st_atim.tv_nsec, meta.st_atim.tv_nsec);

  const auto tags = test::runShell("cd '" + dir_.path() +
                                   "' && exiftool -s3 -Make -ImageWidth -ImageHeight out.jpg");
  EXPECT_EQ(tags.out, "Maker\n64\n48\n");

  // Without -t the dates stay; an image source may also be the output, as it is read first.
  std::filesystem::copy_file(dir_.file("image.png"), dir_.file("self.png"));
  const auto same = merge({"-i", "self.png", "-m", "meta.jpg", "-o", "self.png", "-t"});
  ASSERT_EQ(same.exitCode, 0) << same.err;
  const auto kept = test::runShell("cd '" + dir_.path() +
                                   "' && exiftool -s3 -FileType -DateTimeOriginal self.png");
  EXPECT_EQ(kept.out, "JPEG\n1999:01:01 00:00:00\n");

  // The -t dates replace all three date tags in the copied Exif block.
  const auto dates = test::runShell("cd '" + dir_.path() +
                                    "' && exiftool -s3 -DateTimeOriginal -ModifyDate "
                                    "-CreateDate out.jpg");
  EXPECT_EQ(dates.out, "2001:02:03 04:05:06\n2001:02:03 04:05:06\n2001:02:03 04:05:06\n");
}

}  // namespace
}  // namespace tessel
