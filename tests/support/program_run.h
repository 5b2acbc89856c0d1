#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

struct ProgramRun {
    // When it did not start or end: the step that failed and its error.
    std::string whyNot;
    DWORD exitCode;
    // Everything the program wrote to its standard output and error.
    std::string output;

    bool Started() const { return whyNot.empty(); }
};

// Whether this program runs under Wine rather than on Windows.
inline bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A file that the build puts beside the test programs, such as loclistfix.exe.
std::string BesideTests(const std::string& name);

// A path in quotes, for a command line.
std::wstring Quoted(const std::string& path);

inline std::string LoclistfixPath()
{
    return BesideTests("loclistfix.exe");
}

// The longest argument string that still fits loclistfix's command line.
std::size_t LongestArguments();

// Runs loclistfix.exe `count` times at once, each with `arguments` appended
// to its command line, and waits for every run to end.
std::vector<ProgramRun> RunLoclistfixTogether(const std::wstring& arguments, int count);

// Runs a whole command line, such as L"cmd.exe /d /c ...", and waits for it.
ProgramRun RunCommandLine(const std::wstring& commandLine);

inline ProgramRun RunLoclistfix(const std::wstring& arguments = {})
{
    return RunLoclistfixTogether(arguments, 1).front();
}
