#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

struct ProgramRun {
    bool started;
    DWORD exitCode;
    // Everything the program wrote to its standard output and error.
    std::string output;
};

// loclistfix.exe, which the build puts beside the test programs.
std::string LoclistfixPath();

// Runs loclistfix.exe, found beside the running test program, with
// `arguments` appended to its command line, and waits for it to end.
ProgramRun RunLoclistfix(const std::string& arguments);
