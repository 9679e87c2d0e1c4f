#include "support/support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory) {
  TempDir capture;
  const std::string outPath = capture.file("out"), errPath = capture.file("err");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
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
  const Bytes out = readFile(outPath), err = readFile(errPath);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

RunResult runShell(const std::string& command, const std::string& directory) {
  return runProgram({"/bin/sh", "-c", command}, directory);
}

bool haveTool(const std::string& name) {
  return runShell("command -v " + name + " >/dev/null 2>&1").exitCode == 0;
}

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "(no exception)";
}

DirectorySnapshot snapshotDirectory(const std::string& path) {
  DirectorySnapshot files;
  for (const auto& entry : fs::directory_iterator(path)) {
    struct stat s = {};
    ::stat(entry.path().c_str(), &s);
    files[entry.path().filename()] = {entry.is_regular_file() ? readFile(entry.path()) : Bytes{},
                                      int64_t(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec};
  }
  return files;
}

std::string fixture(const std::string& relative) {
  return std::string(TESSEL_TEST_DIR) + "/fixtures/" + relative;
}

std::vector<std::string> sampleFolders() {
  std::vector<std::string> folders;
  if (fs::is_directory(TESSEL_DEFAULT_SAMPLES)) folders.push_back(TESSEL_DEFAULT_SAMPLES);
  if (const char* extra = std::getenv("TESSEL_EXTRA_SAMPLES")) {
    std::stringstream list(extra);
    for (std::string folder; std::getline(list, folder, ':');) {
      if (!folder.empty() && fs::is_directory(folder)) folders.push_back(folder);
    }
  }
  return folders;
}

std::vector<std::string> sampleFiles(const std::string& suffix) {
  const auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  const std::string wanted = lower(suffix);
  std::vector<std::string> files;
  for (const std::string& folder : sampleFolders()) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const std::string name = lower(entry.path().filename().string());
      if (entry.is_regular_file() && name.size() >= wanted.size() &&
          name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0) {
        files.push_back(entry.path().string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string hashOf(const void* data, size_t length) {
  uint64_t h = 0xcbf29ce484222325u;
  for (size_t i = 0; i < length; ++i)
    h = (h ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3u;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

void expectGolden(const std::string& name, const std::string& actual) {
  const std::string path = std::string(TESSEL_TEST_DIR) + "/golden/" + name;
  if (const char* update = std::getenv("TESSEL_UPDATE_GOLDEN"); update && *update == '1') {
    writeFile(path, actual);
    return;
  }
  const Bytes bytes = readFile(path);
  const std::string expected(bytes.begin(), bytes.end());
  if (expected == actual) return;
  std::istringstream e(expected), a(actual);
  std::string el, al;
  for (int line = 1;; ++line) {
    const bool moreE = bool(std::getline(e, el)), moreA = bool(std::getline(a, al));
    if (!moreE && !moreA) break;
    if (moreE != moreA || el != al) {
      ADD_FAILURE() << "golden/" << name << " differs at line " << line
                    << "\n  expected: " << (moreE ? el : "(end)")
                    << "\n  actual:   " << (moreA ? al : "(end)")
                    << "\n(TESSEL_UPDATE_GOLDEN=1 rewrites the file)";
      return;
    }
  }
  ADD_FAILURE() << "golden/" << name << " differs in its line ends";
}

}  // namespace tessel::test
