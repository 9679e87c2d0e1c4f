#include "dump.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "core/exception.h"
#include "core/text.h"
#include "decode_report.h"
#include "jpeg/markers/jpeg_reader.h"
#include "platform/files.h"
#include "platform/parallel.h"
#include "platform/paths.h"

namespace tessel::jpgdump {

namespace {

// Whether a name found by a search is a JPEG file's: it ends in .jpg, .jpeg or .mpo (a
// multi-picture file), letters in any case.
bool hasJpegExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return extension == "jpg" || extension == "jpeg" || extension == "mpo";
}

// Appends to `paths` every JPEG file that `rawPattern` stands for, in the order they are listed.
void collectFiles(const std::string& rawPattern, std::vector<std::string>& paths) {
  const std::string pattern = platform::withoutTrailingSeparators(rawPattern);
  const std::vector<platform::DirEntry> entries = platform::findFiles(pattern);

  const size_t slash = platform::lastSeparator(pattern);
  const std::string prefix =
      slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  // A name without wildcards stands for itself, "." and ".." included.
  const bool plain = !platform::hasWildcard(pattern.substr(prefix.size()));

  for (const platform::DirEntry& entry : entries) {
    if (!plain && (entry.name == "." || entry.name == "..")) continue;
    const std::string path = plain ? pattern : prefix + entry.name;
    if (entry.isDirectory) {
      std::string sub;
      if (pattern == ".") {
        sub = "*.*";
      } else {
        sub = platform::isPathSeparator(path.back()) ? path + "*.*"
                                                     : path + platform::separatorFor(path) + "*.*";
      }
      collectFiles(sub, paths);
    } else if (plain || hasJpegExtension(entry.name)) {
      // A file named on its own is listed whatever its name; searches take JPEG names only.
      paths.push_back(path);
    }
  }
}

// Listings are made this many files at a time, on several threads, each into text of its own,
// and printed in order when the group is done.
constexpr size_t kFilesAtOnce = 64;

// Lists `paths` in order. Listings without a decode are made on all threads (many small files
// are parsed side by side); a decode uses every thread itself and the files go one by one.
void dumpFiles(const std::vector<std::string>& paths, const Options& options, std::ostream& out) {
  if (options.decode || platform::threadCount() == 1 || paths.size() == 1) {
    for (const std::string& path : paths) dumpFile(path, options, out);
    return;
  }
  std::vector<std::string> listings(std::min(kFilesAtOnce, paths.size()));
  for (size_t first = 0; first < paths.size(); first += kFilesAtOnce) {
    const size_t count = std::min(kFilesAtOnce, paths.size() - first);
    platform::parallelFor(count, [&](size_t i) {
      std::ostringstream text;
      dumpFile(paths[first + i], options, text);
      listings[i] = std::move(text).str();
    });
    for (size_t i = 0; i < count; ++i) {
      out << listings[i];
      out.flush();
    }
  }
}

}  // namespace

int expandPattern(const std::string& pattern, const Options& options, std::ostream& out) {
  std::vector<std::string> paths;
  collectFiles(pattern, paths);
  dumpFiles(paths, options, out);
  return static_cast<int>(paths.size());
}

void dumpFile(const std::string& path, const Options& options, std::ostream& out) {
  try {
    JPEGReader reader(path);
    reader.parse();
    const uint32_t size = reader.size();
    if (!options.quiet) {
      writef(out, "File %s (length=%u):\n", path.c_str(), size);
      reader.markers->print(reader.view(), 1, out);
      out.flush();
    }
    const uint32_t left = reader.tracker->unclaimedBytes();
    writef(out, "Finished parsing %s (identified %u bytes out of %u, %u left).\n", path.c_str(),
           size - left, size, left);
    if (options.decode) decodeReport(reader, out);
  } catch (const RawLayerException& e) {
    writef(out, "Failed on %s: %s\n", path.c_str(), e.message().c_str());
  }
  out << '\n';
  out.flush();
}

}  // namespace tessel::jpgdump
