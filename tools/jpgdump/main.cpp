// jpgdump: lists the marker segments of JPEG files, with the contents of the segments it
// understands, and reports how many bytes were identified; -d also decodes each image.

#include <cstdio>
#include <iostream>
#include <string>

#include "core/text.h"
#include "dump.h"
#include "platform/program.h"
#include "standard_options.h"

namespace {

constexpr tessel::tools::ProgramText kText = {
    "jpgdump", "usage: %s [-q] [-d] <file name> ...\n",
    "Lists the marker segments of JPEG files, with the contents of the segments it understands,\n"
    "and how many bytes of each file were identified. A name is a file, a pattern with * and ?\n"
    "in its last component, or a folder, searched recursively; only names ending in .jpg (any\n"
    "case) are read. Options act on the names after them.\n"
    "  -q         print only the \"Finished parsing\" line of each file\n"
    "  -d         also decode each image and print its size and properties\n"
    "  --help     print this help and exit\n"
    "  --version  print the program's name and version and exit\n"};

int runJpgdump(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  // --help and --version anywhere answer before any file is read.
  for (int i = 1; i < argc; ++i) {
    if (tessel::tools::answerStandardOption(argv[i], kText, argv[0])) return 0;
  }
  tessel::jpgdump::Options options;
  // Arguments are handled strictly left to right: an option affects only the names after it.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg[0] == '-') {
      for (size_t k = 1; k < arg.size(); ++k) {
        if (arg[k] == 'q') {
          options.quiet = true;
        } else if (arg[k] == 'd') {
          options.decode = true;
        } else {
          std::cout.flush();
          tessel::writef(std::cerr, kText.usage, argv[0]);
          return 1;
        }
      }
      continue;
    }
    if (tessel::jpgdump::expandPattern(arg, options, std::cout) == 0) {
      std::cout.flush();
      tessel::writef(std::cerr, "Cannot find a JPEG file with name %s\n", arg.c_str());
    }
  }
  std::cout.flush();
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tessel::platform::runProgram(argc, argv, runJpgdump);
}
#else
int main(int argc, char** argv) {
  return runJpgdump(argc, argv);
}
#endif
