#include "support/support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include "platform/windows/wide_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "core/exception.h"

namespace tessel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
#ifdef _WIN32
  // A name that no other folder has: the process and a counter.
  static int counter = 0;
  path_ = (fs::temp_directory_path() / ("tessel-test-" + std::to_string(GetCurrentProcessId()) +
                                        "-" + std::to_string(counter++)))
              .generic_string();
  fs::create_directories(path_);
#else
  std::string pattern = (fs::temp_directory_path() / "tessel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
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
  RunResult result;
#ifdef _WIN32
  // The command line in the form the C runtime splits again: each argument quoted, its quotes and
  // the backslashes before them escaped.
  std::wstring line;
  for (const std::string& a : argv) {
    line += line.empty() ? L"\"" : L" \"";
    size_t backslashes = 0;
    for (const wchar_t c : platform::widen(a)) {
      if (c == L'\\') {
        ++backslashes;
      } else {
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
      }
      if (c != L'\\') line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const auto open = [&](const std::string& path) {
    return CreateFileW(platform::widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = open(outPath);
  startup.hStdError = open(errPath);
  PROCESS_INFORMATION process{};
  const std::wstring folder = platform::widen(directory);
  // Wine now and then fails to start a process (twice in about thirty runs of the Windows suite):
  // the start is tried again, and a last failure leaves its error code on the error stream.
  bool started = false;
  DWORD startError = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(100 * attempt);
    started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             directory.empty() ? nullptr : folder.c_str(), &startup, &process);
    if (!started) startError = GetLastError();
  }
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = int(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    result.exitCode = 127;
  }
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) writeFile(errPath, "CreateProcess failed: error " + std::to_string(startError));
#else
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
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  const Bytes out = readFile(outPath), err = readFile(errPath);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

RunResult runShell(const std::string& command, const std::string& directory) {
  return runProgram({"/bin/sh", "-c", command}, directory);
}

bool haveTool(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return false;  // the independent tools are Linux programs
#else
  return runShell("command -v " + name + " >/dev/null 2>&1").exitCode == 0;
#endif
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
    const auto time = fs::last_write_time(entry.path()).time_since_epoch();
    files[entry.path().filename().string()] = {
        entry.is_regular_file() ? readFile(entry.path().string()) : Bytes{},
        int64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(time).count())};
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
  std::string path = std::string(TESSEL_TEST_DIR) + "/golden/" + name;
  const bool update = std::getenv("TESSEL_UPDATE_GOLDEN") &&
                      std::string(std::getenv("TESSEL_UPDATE_GOLDEN")) == "1";
#ifdef _WIN32
  // Where Windows must differ (its imaging library reads fewer formats), name.windows.txt holds
  // what it gives; it exists only while it differs from name.txt.
  const std::string windows = path.substr(0, path.size() - 4) + ".windows.txt";
  if (update) {
    const Bytes common = readFile(path);
    if (std::string(common.begin(), common.end()) == actual) {
      fs::remove(windows);
    } else {
      writeFile(windows, actual);
    }
    return;
  }
  if (fs::exists(windows)) path = windows;
#endif
  if (update) {
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

std::string withoutBuildDetails(std::string text) {
  for (const auto& [from, to] : {std::pair{TESSEL_JPGDUMP, "jpgdump"},
                                 {TESSEL_JPGMERGE, "jpgmerge"},
                                 {" " TESSEL_VERSION "\n", " VERSION\n"}}) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += std::strlen(to)) {
      text.replace(at, std::strlen(from), to);
    }
  }
  return text;
}

}  // namespace tessel::test
