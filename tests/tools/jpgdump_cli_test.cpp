// The jpgdump program as a user meets it: arguments, file search, per-file reports, exit status.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::RunResult;
using test::TempDir;

const Bytes kTinyJpeg = test::concat({test::kSoi, test::segmentBytes(0xE3, {1, 2}), test::kEoi});

RunResult jpgdump(const std::vector<std::string>& args, const std::string& directory = "") {
  std::vector<std::string> argv = {TESSEL_JPGDUMP};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::runProgram(argv, directory);
}

std::string listing(const std::string& path) {
  return "File " + path + " (length=10):\n  Marker e3 (bytes 2 - 7)\n   01 02\n" +
         "Finished parsing " + path + " (identified 8 bytes out of 10, 2 left).\n\n";
}

std::string quietListing(const std::string& path) {
  return "Finished parsing " + path + " (identified 8 bytes out of 10, 2 left).\n\n";
}

const std::string kUsage = std::string("usage: ") + TESSEL_JPGDUMP + " [-q] [-d] <file name> ...\n";

TEST(JpgdumpCliTest, OptionsActOnlyOnTheNamesAfterThem) {
  TempDir dir;
  test::writeFile(dir.file("a.jpg"), kTinyJpeg);
  test::writeFile(dir.file("b.jpg"), kTinyJpeg);

  RunResult r = jpgdump({});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");

  r = jpgdump({"a.jpg", "-x"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, listing("a.jpg"));
  EXPECT_EQ(r.err, kUsage);

  r = jpgdump({"a.jpg", "-", "-q", "b.jpg"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, listing("a.jpg") + quietListing("b.jpg"));

  r = jpgdump({"-qq", "a.jpg", "-qd", "-qz"}, dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, kUsage);
}

TEST(JpgdumpCliTest, OnlyJpgNamesInAnyCaseAreProcessed) {
  TempDir dir;
  test::writeFile(dir.file("photo.jpeg"), kTinyJpeg);
  test::writeFile(dir.file("UPPER.JPG"), kTinyJpeg);
  test::writeFile(dir.file("x.jpg.txt"), kTinyJpeg);
  const RunResult r =
      jpgdump({"-q", "photo.jpeg", "UPPER.JPG", "x.jpg.txt", "none.jpg"}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, quietListing("UPPER.JPG"));
  EXPECT_EQ(r.err,
            "Cannot find a JPEG file with name photo.jpeg\n"
            "Cannot find a JPEG file with name x.jpg.txt\n"
            "Cannot find a JPEG file with name none.jpg\n");
}

TEST(JpgdumpCliTest, DirectoriesAreSearchedRecursivelyInNameOrder) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("top/sub/deeper"));
  std::filesystem::create_directories(dir.file("top/empty.jpg"));  // a directory with a .jpg name
  test::writeFile(dir.file("top/b.jpg"), kTinyJpeg);
  test::writeFile(dir.file("top/a.JPG"), kTinyJpeg);
  test::writeFile(dir.file("top/sub/deeper/c.jpg"), kTinyJpeg);
  test::writeFile(dir.file("top/sub/d.jpeg"), kTinyJpeg);
  // A link back up the tree must not be followed.
  ASSERT_EQ(symlink("..", dir.file("top/sub/up").c_str()), 0);

  RunResult r = jpgdump({"-q", "top", "top/", "top/empty.jpg"}, dir.path());
  const std::string once =
      quietListing("top/a.JPG") + quietListing("top/b.jpg") + quietListing("top/sub/deeper/c.jpg");
  EXPECT_EQ(r.out, once + once);
  EXPECT_EQ(r.err, "Cannot find a JPEG file with name top/empty.jpg\n");

  // The current directory composes names without a "./" prefix.
  r = jpgdump({"-q", "."}, dir.file("top"));
  EXPECT_EQ(r.out,
            quietListing("a.JPG") + quietListing("b.jpg") + quietListing("sub/deeper/c.jpg"));
}

TEST(JpgdumpCliTest, WildcardsMatchTheLastComponent) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("d/x1"));
  test::writeFile(dir.file("d/a1.jpg"), kTinyJpeg);
  test::writeFile(dir.file("d/a22.jpg"), kTinyJpeg);
  test::writeFile(dir.file("d/B1.JPG"), kTinyJpeg);
  test::writeFile(dir.file("d/x1/inner.jpg"), kTinyJpeg);

  EXPECT_EQ(jpgdump({"-q", "d/a?.jpg"}, dir.path()).out, quietListing("d/a1.jpg"));
  // "*.*" matches every name, directories included.
  EXPECT_EQ(jpgdump({"-q", "d/*.*"}, dir.path()).out,
            quietListing("d/B1.JPG") + quietListing("d/a1.jpg") + quietListing("d/a22.jpg") +
                quietListing("d/x1/inner.jpg"));
  const RunResult none = jpgdump({"-q", "d/z*"}, dir.path());
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "Cannot find a JPEG file with name d/z*\n");
}

TEST(JpgdumpCliTest, BadFilesAreReportedAndTheRunGoesOn) {
  TempDir dir;
  test::writeFile(dir.file("empty.jpg"), Bytes{});
  test::writeFile(dir.file("one.jpg"), Bytes{0xFF});
  test::writeFile(dir.file("junk.jpg"), test::concat({test::kSoi, {0x42}, test::kEoi}));
  ASSERT_EQ(symlink("loop.jpg", dir.file("loop.jpg").c_str()), 0);
  Bytes trailing = kTinyJpeg;  // bytes after EOI are counted as left
  trailing.insert(trailing.end(), 100, 0x55);
  test::writeFile(dir.file("zgood.jpg"), trailing);

  const RunResult r = jpgdump({"."}, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            std::string("Failed on empty.jpg: File empty.jpg: failed on CreateFileMapping: ") +
                std::strerror(EINVAL) + "\n\n" + "Failed on junk.jpg: Missing marker prefix\n\n" +
                "Failed on loop.jpg: File loop.jpg: failed on CreateFile: " + std::strerror(ELOOP) +
                "\n\n" + "Failed on one.jpg: Missing JPEG EOI\n\n" +
                "File zgood.jpg (length=110):\n  Marker e3 (bytes 2 - 7)\n   01 02\n" +
                "Finished parsing zgood.jpg (identified 8 bytes out of 110, 102 left).\n\n");
}

}  // namespace
}  // namespace tessel
