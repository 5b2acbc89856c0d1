#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <string>

// One run of a PowerShell script, as powershell.exe -File would end it.
struct ScriptRun {
    // When the engine gave no answer: the step that failed.
    std::string whyNot;
    DWORD exitStatus;
    std::string out;
    std::string err;

    bool Ran() const { return whyNot.empty(); }
};

// The PowerShell engine that the build publishes beside the tests
// (tests/powershell/), started once as a child process and asked to run one
// script after another, each in a fresh runspace. Ended with this object.
class PowerShellEngine {
public:
    PowerShellEngine();
    ~PowerShellEngine();
    PowerShellEngine(const PowerShellEngine&) = delete;
    PowerShellEngine& operator=(const PowerShellEngine&) = delete;

    // Empty where this build has an engine; else why not, from the build.
    static std::string WhyNotBuilt();

    // Starts the engine and waits until it is ready: empty, or the step that failed.
    std::string Start();

    // PowerShell's version, once started.
    const std::string& Version() const { return version_; }

    // Runs a script in a language mode: "FullLanguage" or "ConstrainedLanguage".
    ScriptRun Run(const char* languageMode, const std::wstring& script);

private:
    struct Pipes;
    std::unique_ptr<Pipes> pipes_;
    std::string version_;
};
