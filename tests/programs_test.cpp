// jpgdump as a user meets it: options that act on the names after them, the file search
// (wildcards in the last component, folders searched recursively in name order, .jpg, .jpeg and
// .mpo names in any case only, links to folders not followed; a file named on its own whatever its
// name), failures reported per file, the exit status.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/jpeg.h"

namespace tessel {
namespace {

TEST(Jpgdump, OptionsSearchRulesAndPerFileFailures) {
  test::TempDir dir;
  namespace fs = std::filesystem;
  const test::Bytes tiny = test::concat({test::kSoi, test::segment(0xE3, {1, 2}), test::kEoi});
  for (const char* folder : {"top/sub/deeper", "top/empty.jpg", "d/x1", "bad"}) {
    fs::create_directories(dir.file(folder));
  }
  for (const char* name : {"a.jpg", "b.jpg", "top/b.jpg", "top/a.JPG", "top/sub/deeper/c.jpg",
                           "top/sub/d.jpeg", "top/sub/e.MPO", "top/sub/f.jpe", "photo.jpeg",
                           "x.jpg.txt", "d/a1.jpg", "d/a22.jpg", "d/B1.JPG", "d/x1/inner.jpg"}) {
    test::writeFile(dir.file(name), tiny);
  }
  test::Bytes trailing = tiny;
  trailing.insert(trailing.end(), 100, 0x55);  // bytes after the EOI are left
  test::writeFile(dir.file("bad/zgood.jpg"), trailing);
  test::writeFile(dir.file("bad/empty.jpg"), test::Bytes{});
  test::writeFile(dir.file("bad/one.jpg"), test::Bytes{0xFF});
  test::writeFile(dir.file("bad/junk.jpg"), test::concat({test::kSoi, {0x42}, test::kEoi}));
  ASSERT_EQ(symlink("loop.jpg", dir.file("bad/loop.jpg").c_str()), 0);
  ASSERT_EQ(symlink("..", dir.file("top/sub/up").c_str()), 0);  // must not be followed

  const std::vector<std::vector<std::string>> cases = {
      {},
      {"a.jpg", "-x", "b.jpg"},
      {"a.jpg", "-", "-q", "b.jpg"},
      {"-qq", "a.jpg", "-qd", "-qz", "b.jpg"},
      {"-q", "photo.jpeg", "top/a.JPG", "x.jpg.txt", "none.jpg"},
      {"-q", "top", "top/", "top/empty.jpg"},
      {"-q", "d/a?.jpg", "d/*.*", "d/z*", "D/A1.JPG"},
      {"-q", "d/A*"},
      {"bad"},
      {"a.jpg", "-x", "--help"},  // answered before anything else
      {"-q", "--version", "--help"},
  };
  std::ostringstream out;
  for (const auto& args : cases) {
    std::vector<std::string> argv = {TESSEL_JPGDUMP};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto run = test::runProgram(argv, dir.path());
    out << "$ jpgdump";
    for (const std::string& a : args) out << " " << a;
    out << "\n" << run.out << "--- stderr\n" << run.err << "--- exit " << run.exitCode << "\n";
  }
  // In the current folder, names are composed without a "./".
  const auto here = test::runProgram({TESSEL_JPGDUMP, "-q", "."}, dir.file("top"));
  out << "$ (in top) jpgdump -q .\n" << here.out;
  test::expectGolden("jpgdump-cli.txt", test::withoutBuildDetails(out.str()));
}

// --version names the version that CMake and the packages carry; the manual pages must too.
TEST(Programs, ManualPagesCarryTheVersion) {
  for (const char* page : {"jpgdump.1", "jpgmerge.1"}) {
    const test::Bytes text = test::readFile(TESSEL_TEST_DIR "/../doc/" + std::string(page));
    const std::string head(text.begin(), std::find(text.begin(), text.end(), '\n'));
    EXPECT_NE(head.find("\"tessel " TESSEL_VERSION "\""), std::string::npos)
        << page << ": " << head;
  }
}

}  // namespace
}  // namespace tessel
