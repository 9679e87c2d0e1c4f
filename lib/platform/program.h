#pragma once

// The programs' entry on Windows. `wmain` receives the command line as UTF-16; runProgram hands
// it to the program as UTF-8 and sets up standard output and error the way Linux has them: on a
// console the text is written as UTF-16 (WriteConsoleW), so that names and text outside the
// console's code page survive, and anywhere else the UTF-8 bytes go out unchanged, without line
// end translation, so that redirected output is byte for byte that of Linux.
//
// Each program's main.cpp:
//   #ifdef _WIN32
//   int wmain(int argc, wchar_t** argv) { return tessel::platform::runProgram(argc, argv, run); }
//   #else
//   int main(int argc, char** argv) { return run(argc, argv); }
//   #endif

#ifdef _WIN32

namespace tessel::platform {

using ProgramMain = int (*)(int argc, char** argv);

// Calls `run` with the arguments in UTF-8 and returns its exit status; std::cout and std::cerr
// are flushed before it returns.
int runProgram(int argc, wchar_t** argv, ProgramMain run);

}  // namespace tessel::platform

#endif
