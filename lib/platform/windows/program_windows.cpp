#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "platform/program.h"
#include "platform/windows/wide_text.h"

namespace tessel::platform {

namespace {

// A buffered stream on a standard handle. A console gets the text as UTF-16; a sequence of UTF-8
// bytes split between two flushes is held back until it is complete. Files and pipes get the
// bytes as they are.
class StandardStreamBuffer : public std::streambuf {
 public:
  explicit StandardStreamBuffer(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode;
    console_ =
        handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  ~StandardStreamBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (flush() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    if (count > epptr() - pptr()) {
      if (flush() != 0) return 0;
      if (count > epptr() - pptr()) return write(data, size_t(count)) ? count : 0;
    }
    traits_type::copy(pptr(), data, size_t(count));
    pbump(int(count));
    return count;
  }

  int sync() override { return flush(); }

 private:
  int flush() {
    const size_t count = size_t(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return count == 0 || write(buffer_.data(), count) ? 0 : -1;
  }

  bool write(const char* data, size_t count) {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return true;
    if (!console_) return writeBytes(data, count);
    pending_.append(data, count);
    // Only whole UTF-8 sequences are converted; an incomplete one at the end waits.
    size_t complete = pending_.size();
    for (size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
      const unsigned char byte = static_cast<unsigned char>(pending_[pending_.size() - back]);
      if ((byte & 0xC0) == 0x80) continue;  // continuation byte
      const size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
      if (needed > back) complete = pending_.size() - back;
      break;
    }
    const std::wstring text = widen(std::string_view(pending_).substr(0, complete));
    pending_.erase(0, complete);
    for (size_t at = 0; at < text.size();) {
      DWORD written = 0;
      const DWORD chunk = DWORD(std::min<size_t>(text.size() - at, 16384));
      if (!WriteConsoleW(handle_, text.data() + at, chunk, &written, nullptr) || written == 0) {
        return false;
      }
      at += written;
    }
    return true;
  }

  bool writeBytes(const char* data, size_t count) {
    while (count > 0) {
      DWORD written = 0;
      const DWORD chunk = DWORD(std::min<size_t>(count, size_t{1} << 20));
      if (!WriteFile(handle_, data, chunk, &written, nullptr) || written == 0) return false;
      data += written;
      count -= written;
    }
    return true;
  }

  HANDLE handle_;
  bool console_ = false;
  std::string pending_;
  std::vector<char> buffer_ = std::vector<char>(size_t{1} << 16);
};

}  // namespace

int runProgram(int argc, wchar_t** argv, ProgramMain run) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  // The C streams write bytes unchanged too, should anything use them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Unsynchronised first: the C++ library would replace the stream buffers again when a program
  // asks for it later.
  std::ios::sync_with_stdio(false);
  StandardStreamBuffer out(STD_OUTPUT_HANDLE), error(STD_ERROR_HANDLE);
  std::streambuf* oldOut = std::cout.rdbuf(&out);
  std::streambuf* oldError = std::cerr.rdbuf(&error);
  std::streambuf* oldLog = std::clog.rdbuf(&error);
  const int status = run(argc, pointers.data());
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldError);
  std::clog.rdbuf(oldLog);
  return status;
}

}  // namespace tessel::platform
