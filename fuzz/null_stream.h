#pragma once

#include <ostream>
#include <streambuf>

// An output stream that discards everything, so that listing code runs in full under the fuzzer
// without the cost of keeping its text.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class NullStream : public std::ostream {
 public:
  NullStream() : std::ostream(&buffer_) {}

 private:
  NullBuffer buffer_;
};
