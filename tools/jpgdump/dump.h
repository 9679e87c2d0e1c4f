#pragma once

#include <ostream>
#include <string>

namespace tessel::jpgdump {

struct Options {
  bool quiet = false;   // -q: only the "Finished parsing" line per file
  bool decode = false;  // -d: decode each file and report its size and properties
};

// Processes every JPEG file that `pattern` stands for (a file, a wildcard pattern or a directory,
// searched recursively) and returns how many there were.
int expandPattern(const std::string& pattern, const Options& options, std::ostream& out);

// Lists one file; a failure is reported on `out` and does not stop the run.
void dumpFile(const std::string& path, const Options& options, std::ostream& out);

}  // namespace tessel::jpgdump
