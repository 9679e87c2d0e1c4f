// Golden outputs over the fixture files, which are chosen to reach every branch that a listing, a
// decode or a merge can show. For each folder below tests/fixtures: what jpgdump -d prints for its
// files, the pixels and properties that the image-source readers make of each of them, and the
// bytes of every merge that its merges.txt lists. The outputs are binding byte for byte (the
// codec's float arithmetic included); the comparisons with independent tools in conformance/ are
// what shows them right.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "core/pixel_image.h"
#include "sources/image_sources.h"
#include "sources/imaging_loader.h"
#include "support/support.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sorted(const fs::path& folder, bool recursive) {
  std::vector<std::string> names;
  const auto add = [&](const fs::directory_entry& e) {
    const std::string ext = e.path().extension().string();
    if (recursive ? e.is_regular_file() && ext != ".md" && ext != ".txt" : e.is_directory()) {
      names.push_back(fs::relative(e.path(), test::fixture("")).generic_string());
    }
  };
  if (recursive) {
    for (const auto& e : fs::recursive_directory_iterator(folder)) add(e);
  } else {
    for (const auto& e : fs::directory_iterator(folder)) add(e);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string listing(const std::string& folder) {
  const auto run = test::runProgram({TESSEL_JPGDUMP, "-d", folder}, test::fixture(""));
  std::ostringstream out;
  out << run.out << "--- stderr\n" << run.err << "--- exit " << run.exitCode << "\n";
  return out.str();
}

std::string sources(const std::string& folder) {
  std::ostringstream out;
  for (const std::string& name : sorted(test::fixture(folder), true)) {
    PixelImage image;
    std::string message = test::messageOf([&] { loadImageSource(image, test::fixture(name)); });
    // Messages name the file; the fixtures' own folder is left out, so that the goldens do not
    // depend on where the tree is.
    for (size_t at; (at = message.find(test::fixture(""))) != std::string::npos;) {
      message.erase(at, test::fixture("").size());
    }
    std::string properties;
    for (const Property& p : image.properties.items()) {
      properties += std::to_string(p.tag) + "," + std::to_string(p.type) + "," +
                    std::to_string(p.count) + "," + test::hashOf(p.data(), p.size) + ";";
    }
    out << name << ": ";
    // After a failure the size and properties set so far count; the pixels are unfinished.
    if (message != "(no exception)") {
      out << message << " / " << image.width << "x" << image.height;
    } else {
      out << image.width << "x" << image.height << " pixels "
          << test::hashOf(image.pixels.get(), size_t{image.width} * image.height * 8);
    }
    out << " properties " << image.properties.count() << " "
        << test::hashOf(properties.data(), properties.size()) << "\n";
  }
  return out.str();
}

// Each line of merges.txt holds jpgmerge's arguments but -o, paths below tests/fixtures; TIME
// stands for one -t value. The golden line gives the exit status, the first line of standard
// error and the output's hash and size.
std::string merges(const std::string& folder) {
  const test::Bytes list = test::readFile(test::fixture(folder + "/merges.txt"));
  std::istringstream lines(std::string(list.begin(), list.end()));
  std::ostringstream out;
  test::TempDir dir;
  const std::string output = dir.file("out.jpg");
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> argv = {TESSEL_JPGMERGE};
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      argv.push_back(word == "TIME" ? "2001:02:03 04:05:06" : word);
    }
    argv.insert(argv.end(), {"-o", output});
    fs::remove(output);
    const auto run = test::runProgram(argv, test::fixture(""));
    std::string err = run.err.substr(0, run.err.find('\n'));
    for (size_t at; (at = err.find(output)) != std::string::npos;)
      err.replace(at, output.size(), "OUT");
    out << line << " => " << run.exitCode << " " << err;
    if (fs::exists(output)) {
      const test::Bytes bytes = test::readFile(output);
      out << " " << test::hashOf(bytes) << " " << bytes.size();
    }
    out << "\n";
  }
  return out.str();
}

TEST(Golden, ListingsPixelsAndMergesOfEveryFixtureFolder) {
  const ImagingSession session;
  for (const std::string& folder : sorted(test::fixture(""), false)) {
    SCOPED_TRACE(folder);
    test::expectGolden(folder + "-jpgdump.txt", listing(folder));
    test::expectGolden(folder + "-sources.txt", sources(folder));
    if (fs::exists(test::fixture(folder + "/merges.txt"))) {
      test::expectGolden(folder + "-merges.txt", merges(folder));
    }
  }
}

}  // namespace
}  // namespace tessel
