// Smoke test of the Windows platform layer: names outside ASCII, the directory search, output
// files replaced whole, the mapped-input refusal and error texts.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/exception.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace tessel {
namespace {

std::string readAll(const std::string& name) {
  MappedFile file(name);
  return std::string(reinterpret_cast<const char*>(file.view()), file.size());
}

void writeAll(const std::string& name, const std::string& text) {
  OutputFile out(name);
  out.replaceContents(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string failureOf(void (*action)(const std::string&), const std::string& name) {
  try {
    action(name);
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "";
}

TEST(WindowsPlatform, FilesWithNamesOutsideAsciiAreWrittenReplacedAndFound) {
  const std::string dir = "smoke-\xC3\xB8";  // "smoke-ø"
  CreateDirectoryW(L"smoke-\u00F8", nullptr);
  const std::vector<std::string> names = {"b-\xE2\x9C\x93.JPG", "a.jpg", "c.jpg_"};
  for (const std::string& name : names) {
    platform::deleteFile(dir + "/" + name);
    writeAll(dir + "/" + name, "first");
    writeAll(dir + "/" + name, name);  // replaces the existing file
    EXPECT_EQ(readAll(dir + "/" + name), name);
  }
  std::vector<platform::DirEntry> found = platform::findFiles(dir + "\\*.jpg");
  ASSERT_EQ(found.size(), 2u);  // sorted by name, long names only
  EXPECT_EQ(found[0].name, "a.jpg");
  EXPECT_EQ(found[1].name, names[0]);
  EXPECT_EQ(platform::findFiles(dir + "/*.*").size(), 3u);  // no sibling file left behind
}

TEST(WindowsPlatform, RefusalsUseTheOperationNames) {
  writeAll("smoke-mapped.jpg", "mapped");
  MappedFile mapped("smoke-mapped.jpg");
  EXPECT_NE(failureOf([](const std::string& n) { OutputFile out(n); }, "smoke-mapped.jpg")
                .find("failed on CreateFile: "),
            std::string::npos);
  writeAll("smoke-empty.jpg", "");
  EXPECT_NE(failureOf([](const std::string& n) { MappedFile in(n); }, "smoke-empty.jpg")
                .find("failed on CreateFileMapping: "),
            std::string::npos);
  EXPECT_NE(failureOf([](const std::string& n) { MappedFile in(n); }, "smoke-missing.jpg"), "");
  const std::string text = platform::systemErrorText(2);  // ERROR_FILE_NOT_FOUND
  EXPECT_FALSE(text.empty());
  EXPECT_TRUE(text.find_first_of("\r\n") == std::string::npos) << text;
  EXPECT_EQ(
      failureOf([](const std::string& n) { platform::throwWindowsError(n, "Op", 0xDEAD); }, "x"),
      "File x: failed on Op: Windows error 57005");
}

TEST(WindowsPlatform, PathRules) {
  struct Row {
    const char* path;
    const char* trimmed;
    size_t lastSeparator;
  };
  for (const Row& row : {Row{"C:\\", "C:\\", 2}, Row{"dir\\sub\\\\", "dir\\sub", 3},
                         Row{"C:x.jpg", "C:x.jpg", 1}, Row{"a/b", "a/b", 1}}) {
    EXPECT_EQ(platform::withoutTrailingSeparators(row.path), row.trimmed);
    EXPECT_EQ(platform::lastSeparator(row.trimmed), row.lastSeparator) << row.path;
  }
  EXPECT_TRUE(platform::wildcardMatch("*.JPG", "x.jpg"));
  EXPECT_FALSE(platform::wildcardMatch("*.jpg", "x.jpg_"));
}

}  // namespace
}  // namespace tessel
