#pragma once

// What every test shares: temporary folders, files, running the programs, the real sample files,
// the fixtures, and golden outputs.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tessel::test {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
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
// Runs a program (no shell) in `directory` when it is not empty, capturing both streams.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory = "");
RunResult runShell(const std::string& command, const std::string& directory = "");
bool haveTool(const std::string& name);

// The message of the RawLayerException that `action` throws, or "(no exception)".
std::string messageOf(const std::function<void()>& action);

// Every entry of a folder (not recursive) with its content and modification time: compared
// before and after a run to show that the run changed nothing.
using DirectorySnapshot = std::map<std::string, std::pair<Bytes, int64_t>>;
DirectorySnapshot snapshotDirectory(const std::string& path);

// The path of a file below tests/fixtures.
std::string fixture(const std::string& relative);

// Folders of real files: the shared sample folder when it exists, then every folder named in
// TESSEL_EXTRA_SAMPLES (colon-separated); and every file below them whose name ends in
// `suffix` (any case), sorted.
std::vector<std::string> sampleFolders();
std::vector<std::string> sampleFiles(const std::string& suffix = ".jpg");

// 64-bit FNV-1a of the bytes, as 16 hex digits.
std::string hashOf(const void* data, size_t length);
inline std::string hashOf(const Bytes& bytes) {
  return hashOf(bytes.data(), bytes.size());
}

// Compares `actual` with the file tests/golden/<name> and reports the first difference. With
// TESSEL_UPDATE_GOLDEN=1 in the environment the file is written instead: review the change with
// git diff before committing it.
void expectGolden(const std::string& name, const std::string& actual);
// `text` with the programs' paths as "jpgdump" and "jpgmerge" and the version as "VERSION", as
// goldens hold them.
std::string withoutBuildDetails(std::string text);

}  // namespace tessel::test
