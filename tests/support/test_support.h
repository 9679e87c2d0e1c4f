#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessel::test {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
// Runs a program with arguments (no shell), capturing both streams. `directory` is the working
// directory when not empty.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory = "");
// Runs a shell command line, capturing both streams.
RunResult runShell(const std::string& command);
bool haveTool(const std::string& name);

// Every entry of a directory (not recursive) by name, with its content (empty for a
// subdirectory) and modification time in nanoseconds: compared before and after a run to show
// that the run changed nothing.
using DirectorySnapshot = std::map<std::string, std::pair<Bytes, int64_t>>;
DirectorySnapshot snapshotDirectory(const std::string& path);

// The message of the RawLayerException that `action` throws, or "(no exception)".
std::string messageOf(const std::function<void()>& action);

// Folders of real sample files: the shared sample folder when it exists, then every folder named
// in TESSEL_EXTRA_SAMPLES (colon-separated).
std::vector<std::string> sampleFolders();
// Every file below the sample folders whose name ends in `suffix` (any case), sorted.
std::vector<std::string> sampleFiles(const std::string& suffix = ".jpg");

// JPEG building blocks.
Bytes segmentBytes(uint8_t code, const Bytes& payload);
Bytes concat(std::initializer_list<Bytes> parts);
inline const Bytes kSoi = {0xFF, 0xD8};
inline const Bytes kEoi = {0xFF, 0xD9};

}  // namespace tessel::test
