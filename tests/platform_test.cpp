// Mapped input files and output files: what each failure says, and the promises about outputs.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/image_formats.h"
#include "platform/mapped_file.h"
#include "platform/system.h"
#include "support/support.h"

namespace tessel {
namespace {

using test::messageOf;

std::string expected(const std::string& name, const char* op, int error) {
  return "File " + name + ": failed on " + op + ": " + std::strerror(error);
}

TEST(MappedFile, MapsWholeFilesAndNamesTheFileTheStepAndTheSystemText) {
  test::TempDir dir;
  const std::string name = dir.file("a.bin"), missing = dir.file("missing.jpg");
  const std::string empty = dir.file("empty.jpg"), big = dir.file("big.jpg");
  test::writeFile(name, test::Bytes{1, 2, 3, 4, 5});
  test::writeFile(empty, test::Bytes{});
  test::writeFile(big, test::Bytes{0});
  ASSERT_EQ(truncate(big.c_str(), 0x80000000LL), 0);  // 2 GiB, sparse
  MappedFile file(name);
  MappedFile moved(std::move(file));
  EXPECT_EQ(file.view(), nullptr);
  EXPECT_EQ(moved.size(), 5u);
  EXPECT_EQ(moved.view()[4], 5);
  EXPECT_EQ(messageOf([&] { MappedFile f(missing); }), expected(missing, "CreateFile", ENOENT));
  EXPECT_EQ(messageOf([&] { MappedFile f(empty); }), expected(empty, "CreateFileMapping", EINVAL));
  EXPECT_EQ(messageOf([&] { MappedFile f(dir.path()); }),
            expected(dir.path(), "CreateFile", EISDIR));
  EXPECT_EQ(messageOf([&] { MappedFile f(big); }), expected(big, "GetFileSize", EFBIG));
  EXPECT_EQ(messageOf([] { platform::throwWindowsError("x", "WriteFile", 99999); }),
            "File x: failed on WriteFile: Windows error 99999");
#if !defined(__SANITIZE_ADDRESS__)
  // In a child with 512 MB of address space, a 1 GB view cannot be made. (AddressSanitizer needs
  // more address space than that for itself.)
  ASSERT_EQ(truncate(big.c_str(), 1LL << 30), 0);
  const auto mapWithLittleAddressSpace = [&] {
    rlimit limit{512 << 20, 512 << 20};
    setrlimit(RLIMIT_AS, &limit);
    std::exit(messageOf([&] { MappedFile f(big); }) == expected(big, "MapViewOfFile", ENOMEM));
  };
  EXPECT_EXIT(mapWithLittleAddressSpace(), ::testing::ExitedWithCode(1), "");
#endif
}

// Released pages of a view read back from the file; memory that is no view (where the same
// call would zero the pages) is left alone.
TEST(MappedFile, ReleasedPagesReadBackAndOtherMemoryIsUntouched) {
  test::TempDir dir;
  test::Bytes content(5 << 20);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + i / 4099);
  test::writeFile(dir.file("a.bin"), content);
  MappedFile file(dir.file("a.bin"));
  EXPECT_EQ(std::memcmp(file.view(), content.data(), content.size()), 0);
  file.releasePages(file.view() + 1000, file.view() + content.size());
  EXPECT_EQ(std::memcmp(file.view(), content.data(), content.size()), 0);
  const test::Bytes copy = content;
  file.releasePages(content.data(), content.data() + content.size());
  EXPECT_EQ(content, copy);
}

TEST(OutputFile, ReplacedWholeKeepingModeAndLinksOrRefused) {
  test::TempDir dir;
  const std::string name = dir.file("out.jpg"), link = dir.file("link.jpg");
  test::writeFile(name, test::Bytes{9, 9, 9});
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("out.jpg", link.c_str()), 0);
  const uint8_t bytes[] = {1, 2};
  {
    OutputFile out(link);  // through a symbolic link, which stays one
    EXPECT_FALSE(out.created());
    out.replaceContents(bytes, 2);
  }
  EXPECT_EQ(test::readFile(name), (test::Bytes{1, 2}));
  struct stat info;
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(::stat(name.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(OutputFile(dir.file("new.jpg")).created());

  // A file with a second name is refused: replacing it would part the two names.
  ASSERT_EQ(::link(name.c_str(), dir.file("second.jpg").c_str()), 0);
  OutputFile linked(name);
  EXPECT_EQ(messageOf([&] { linked.replaceContents(bytes, 1); }),
            "File " + name + ": failed on ReplaceFile: " + msg::kHardLinkedOutput);
  EXPECT_EQ(test::readFile(name), (test::Bytes{1, 2}));
  EXPECT_EQ(test::snapshotDirectory(dir.path()).size(), 4u);  // no temporary file left

  // A file this process has mapped (through any name), a second writer and a folder.
  const std::string source = dir.file("source.jpg");
  test::writeFile(source, test::Bytes{1, 2, 3});
  {
    MappedFile mapped(source);
    EXPECT_EQ(messageOf([&] { OutputFile out(source); }), expected(source, "CreateFile", EBUSY));
    ASSERT_EQ(::symlink(source.c_str(), dir.file("alias.jpg").c_str()), 0);
    EXPECT_EQ(messageOf([&] { OutputFile out(dir.file("alias.jpg")); }),
              expected(dir.file("alias.jpg"), "CreateFile", EBUSY));
  }
  OutputFile first(source);
  EXPECT_EQ(messageOf([&] { OutputFile second(source); }),
            expected(source, "CreateFile", EWOULDBLOCK));
  first.close();
  EXPECT_EQ(messageOf([&] { OutputFile third(source); }), "(no exception)");
  EXPECT_EQ(messageOf([&] { OutputFile out(dir.path()); }),
            expected(dir.path(), "CreateFile", EISDIR));
  EXPECT_EQ(test::readFile(source), (test::Bytes{1, 2, 3}));
}

// The first bytes decide what reaches the imaging library, and which JPEG frames store CMYK
// (refused where the library would convert them without a word).
TEST(ImageFormats, SignaturesAndCmykFramesComeFromTheFirstBytes) {
  using imaging::SourceFormat;
  const auto format = [](const std::string& bytes) {
    return imaging::detectFormat(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  };
  const std::string zeros(32, '\0');
  EXPECT_EQ(format(std::string("MM\0*", 4) + zeros), SourceFormat::kTiff);
  EXPECT_EQ(format(std::string("II*\0", 4) + zeros), SourceFormat::kTiff);
  EXPECT_EQ(format(std::string("MM\0+", 4) + zeros), SourceFormat::kNone);  // BigTIFF

  // SOI, fill bytes, an APP0 of 4 bytes, then a frame header whose component count is `last`.
  const auto cmyk = [](const std::string& frame) {
    const std::string file = std::string("\xFF\xD8\xFF\xFF\xFF\xE0\0\x04JF", 10) + frame;
    return imaging::storesCmyk(SourceFormat::kJpeg, reinterpret_cast<const uint8_t*>(file.data()),
                               file.size(), {});
  };
  const std::string sof("\xFF\xC2\0\x14\x08\0\x10\0\x10", 9);
  EXPECT_TRUE(cmyk(sof + "\x04"));
  EXPECT_FALSE(cmyk(sof + "\x03"));
  EXPECT_FALSE(cmyk(sof));                                              // cut before the count
  EXPECT_FALSE(cmyk(std::string("\xFF\xDA\0\x02", 4) + sof + "\x04"));  // scan first

  // A TIFF file says so by its Photometric tag (262): 5 is separated (CMYK), 2 is RGB.
  const auto tiffCmyk = [](uint8_t photometric) {
    const imaging::OwnedPropertyItem item{262, 3, 1, {photometric, 0}};
    return imaging::storesCmyk(SourceFormat::kTiff, nullptr, 0, {item});
  };
  EXPECT_TRUE(tiffCmyk(5));
  EXPECT_FALSE(tiffCmyk(2));
}

}  // namespace
}  // namespace tessel
