#include "core/mapped_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/exception.h"
#include "core/messages.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace tessel {
namespace {

using test::TempDir;

using test::messageOf;

std::string expected(const std::string& name, const char* op, int error) {
  return "File " + name + ": failed on " + op + ": " + std::strerror(error);
}

TEST(MappedFileTest, MapsTheWholeFileAndReleasesIt) {
  TempDir dir;
  const std::string name = dir.file("a.bin");
  test::writeFile(name, test::Bytes{1, 2, 3, 4, 5});
  MappedFile file(name);
  ASSERT_EQ(file.size(), 5u);
  MappedFile moved(std::move(file));
  EXPECT_EQ(file.view(), nullptr);
  EXPECT_EQ(moved.view()[0], 1);
}

TEST(MappedFileTest, FailuresNameTheFileTheStepAndTheSystemText) {
  TempDir dir;
  const std::string missing = dir.file("missing.jpg");
  EXPECT_EQ(messageOf([&] { MappedFile f(missing); }), expected(missing, "CreateFile", ENOENT));
  const std::string empty = dir.file("empty.jpg");
  test::writeFile(empty, test::Bytes{});
  EXPECT_EQ(messageOf([&] { MappedFile f(empty); }), expected(empty, "CreateFileMapping", EINVAL));
  EXPECT_EQ(messageOf([&] { MappedFile f(dir.path()); }),
            expected(dir.path(), "CreateFile", EISDIR));
  // Files of 2 GiB or more are refused on GetFileSize.
  const std::string big = dir.file("big.jpg");
  test::writeFile(big, test::Bytes{0});
  ASSERT_EQ(truncate(big.c_str(), 0x80000000LL), 0);  // sparse: costs no disk space
  EXPECT_EQ(messageOf([&] { MappedFile f(big); }), expected(big, "GetFileSize", EFBIG));
  // Error codes without system text fall back to their number.
  EXPECT_EQ(messageOf([] { throwWindowsError("x", "WriteFile", 99999); }),
            "File x: failed on WriteFile: Windows error 99999");
}

#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_ASAN 1
#endif
#endif

TEST(MappedFileTest, AViewThatDoesNotFitTheAddressSpaceFailsOnMapViewOfFile) {
#ifdef TESSEL_ASAN
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#else
  TempDir dir;
  const std::string big = dir.file("big.jpg");
  test::writeFile(big, test::Bytes{0});
  ASSERT_EQ(truncate(big.c_str(), 1LL << 30), 0);  // sparse
  // In a child process with 512 MB of address space, a 1 GB view cannot be made.
  const auto mapWithLittleAddressSpace = [&] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 512 << 20;
    setrlimit(RLIMIT_AS, &limit);
    const std::string message = messageOf([&] { MappedFile f(big); });
    std::fputs(message.c_str(), stderr);
    std::exit(message == expected(big, "MapViewOfFile", ENOMEM) ? 0 : 1);
  };
  EXPECT_EXIT(mapWithLittleAddressSpace(), ::testing::ExitedWithCode(0), "MapViewOfFile");
#endif
}

TEST(OutputFileTest, ReplacesTheContentWholeKeepingModeAndLinks) {
  TempDir dir;
  const std::string name = dir.file("out.jpg");
  test::writeFile(name, test::Bytes{9, 9, 9});
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  const std::string link = dir.file("link.jpg");
  ASSERT_EQ(::symlink("out.jpg", link.c_str()), 0);
  const uint8_t bytes[] = {1, 2};
  {
    OutputFile out(link);  // through a symbolic link, which stays one
    EXPECT_FALSE(out.created());
    EXPECT_EQ(out.size(), 3u);
    out.replaceContents(bytes, 2);
    EXPECT_EQ(out.position(), 2u);
    EXPECT_FALSE(out.isOpen());
  }
  EXPECT_EQ(test::readFile(name), (test::Bytes{1, 2}));
  struct stat info;
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(::stat(name.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_TRUE(OutputFile(dir.file("new.jpg")).created());

  // A file with a second name is refused as it is: replacing it would part the two names.
  ASSERT_EQ(::link(name.c_str(), dir.file("second.jpg").c_str()), 0);
  OutputFile linked(name);
  EXPECT_EQ(messageOf([&] { linked.replaceContents(bytes, 1); }),
            "File " + name + ": failed on ReplaceFile: " + msg::kHardLinkedOutput);
  EXPECT_EQ(test::readFile(name), (test::Bytes{1, 2}));
  // Nothing but the files made here is left in the folder.
  EXPECT_EQ(test::snapshotDirectory(dir.path()).size(), 4u);
}

TEST(OutputFileTest, RefusesMappedFilesDirectoriesAndASecondWriter) {
  TempDir dir;
  const std::string name = dir.file("source.jpg");
  test::writeFile(name, test::Bytes{1, 2, 3});
  {
    MappedFile mapped(name);
    EXPECT_EQ(messageOf([&] { OutputFile out(name); }), expected(name, "CreateFile", EBUSY));
    // Through another path to the same file, too.
    const std::string link = dir.file("link.jpg");
    ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
    EXPECT_EQ(messageOf([&] { OutputFile out(link); }), expected(link, "CreateFile", EBUSY));
  }
  EXPECT_EQ(test::readFile(name), (test::Bytes{1, 2, 3}));
  OutputFile first(name);  // no longer mapped
  EXPECT_EQ(messageOf([&] { OutputFile second(name); }), expected(name, "CreateFile", EWOULDBLOCK));
  first.close();
  OutputFile third(name);
  EXPECT_EQ(messageOf([&] { OutputFile out(dir.path()); }),
            expected(dir.path(), "CreateFile", EISDIR));
}

}  // namespace
}  // namespace tessel
