#pragma once

// --help and --version, which a newcomer tries first with any command-line program: both answer
// on standard output and end the run with status 0. TESSEL_VERSION is the CMake project's
// version, the one the packages carry.

#include <cstring>
#include <iostream>

#include "core/text.h"

namespace tessel::tools {

struct ProgramText {
  const char* name;     // as --version names the program
  const char* usage;    // printf format of the usage line, with %s for the command as typed
  const char* options;  // what the program does and each option, after the usage line
};

// Answers `argument` when it is --help or --version; false for anything else.
inline bool answerStandardOption(const char* argument, const ProgramText& text,
                                 const char* command) {
  if (std::strcmp(argument, "--help") == 0) {
    writef(std::cout, text.usage, command);
    std::cout << text.options;
  } else if (std::strcmp(argument, "--version") == 0) {
    std::cout << text.name << " (tessel) " TESSEL_VERSION "\n";
  } else {
    return false;
  }
  std::cout.flush();
  return true;
}

}  // namespace tessel::tools
