#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "core/exception.h"

namespace tessel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tessel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave unreadable files behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory) {
  TempDir capture;
  const std::string outPath = capture.file("out"), errPath = capture.file("err");
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult result;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = slurp(outPath);
  result.err = slurp(errPath);
  return result;
}

RunResult runShell(const std::string& command) {
  return runProgram({"/bin/sh", "-c", command});
}

bool haveTool(const std::string& name) {
  return runShell("command -v " + name + " >/dev/null 2>&1").exitCode == 0;
}

std::vector<std::string> sampleFolders() {
  std::vector<std::string> folders;
  if (fs::is_directory(TESSEL_DEFAULT_SAMPLES)) folders.push_back(TESSEL_DEFAULT_SAMPLES);
  if (const char* extra = std::getenv("TESSEL_EXTRA_SAMPLES")) {
    std::stringstream list(extra);
    std::string folder;
    while (std::getline(list, folder, ':')) {
      if (!folder.empty() && fs::is_directory(folder)) folders.push_back(folder);
    }
  }
  return folders;
}

std::vector<std::string> sampleFiles(const std::string& suffix) {
  std::vector<std::string> files;
  const auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  const std::string wanted = lower(suffix);
  for (const std::string& folder : sampleFolders()) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = lower(entry.path().filename().string());
      if (name.size() >= wanted.size() &&
          name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0) {
        files.push_back(entry.path().string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

Bytes segmentBytes(uint8_t code, const Bytes& payload) {
  const size_t length = payload.size() + 2;
  Bytes out(4 + payload.size());
  out[0] = 0xFF;
  out[1] = code;
  out[2] = static_cast<uint8_t>(length >> 8);
  out[3] = static_cast<uint8_t>(length);
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

DirectorySnapshot snapshotDirectory(const std::string& path) {
  DirectorySnapshot files;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    struct stat s = {};
    ::stat(entry.path().c_str(), &s);
    files[entry.path().filename()] = {entry.is_regular_file() ? readFile(entry.path()) : Bytes{},
                                      int64_t(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec};
  }
  return files;
}

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "(no exception)";
}

}  // namespace tessel::test
