#include "program_run.h"

#include <memory>

namespace {

constexpr DWORD kRunTimeoutMs = 60000;
constexpr std::size_t kCommandLineLimit = 32767;  // characters, with the terminating NUL
constexpr LPCWSTR kNoApplicationName = nullptr;
constexpr LPSECURITY_ATTRIBUTES kDefaultProcessSecurity = nullptr;
constexpr LPSECURITY_ATTRIBUTES kDefaultThreadSecurity = nullptr;
constexpr BOOL kInheritHandles = TRUE;
constexpr DWORD kNoCreationFlags = 0;
constexpr LPVOID kSameEnvironment = nullptr;
constexpr LPCWSTR kSameDirectory = nullptr;
constexpr DWORD kNoSharing = 0;
constexpr HANDLE kNoTemplate = nullptr;
constexpr DWORD kNoConversionFlags = 0;

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

std::wstring CommandLinePrefix()
{
    return Quoted(LoclistfixPath()) + L" ";
}

// An inheritable, self-deleting file to take a child's standard output and error.
OwnedHandle CreateOutputFile()
{
    wchar_t directory[MAX_PATH];
    wchar_t file[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"llf", 0, file);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE handle = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, kNoSharing, &inheritable, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, kNoTemplate);
    return OwnedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

std::string ReadAll(HANDLE file)
{
    std::string text(GetFileSize(file, nullptr), '\0');
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD read = 0;
    if (!text.empty()) {
        ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    }
    text.resize(read);
    return text;
}

struct Child {
    OwnedHandle output;
    OwnedHandle process;
    DWORD startError;
    // When it did not start: the step that failed, its error and anything the lost process wrote.
    std::string whyNot;
};

// Wine now and then loses a new process while still setting it up, before
// any of the program's code has run (seen here about once in ten thousand
// starts), and CreateProcessW then fails with ERROR_INTERNAL_ERROR. That says
// nothing of the program, so such a start is tried again; any other failure
// stands.
constexpr int kStartAttempts = 3;
constexpr DWORD kLostWhileStarting = ERROR_INTERNAL_ERROR;

Child StartOnce(const std::wstring& commandLine)
{
    Child child{CreateOutputFile(), nullptr, ERROR_SUCCESS, {}};
    if (!child.output) {
        child.startError = GetLastError();
        child.whyNot = "creating the output file failed with error " + std::to_string(child.startError);
        return child;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = child.output.get();
    startup.hStdError = child.output.get();

    // CreateProcessW may write into the command line, so it gets a copy.
    std::wstring writable = commandLine;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(kNoApplicationName, writable.data(), kDefaultProcessSecurity, kDefaultThreadSecurity,
                       kInheritHandles, kNoCreationFlags, kSameEnvironment, kSameDirectory, &startup, &process)) {
        CloseHandle(process.hThread);
        child.process.reset(process.hProcess);
    } else {
        child.startError = GetLastError();
        child.whyNot = "CreateProcessW failed with error " + std::to_string(child.startError);
        child.whyNot += "; output: " + ReadAll(child.output.get());
    }
    return child;
}

Child Start(const std::wstring& commandLine)
{
    Child child = StartOnce(commandLine);
    for (int attempt = 1; attempt < kStartAttempts && child.startError == kLostWhileStarting; ++attempt) {
        child = StartOnce(commandLine);
    }
    return child;
}

ProgramRun Finish(const Child& child)
{
    if (!child.process) {
        return {child.whyNot, 0, {}};
    }
    if (WaitForSingleObject(child.process.get(), kRunTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.process.get(), 1);
        return {"waiting for the run to end", 0, {}};
    }
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(child.process.get(), &exitCode);
    return {{}, exitCode, ReadAll(child.output.get())};
}

}  // namespace

std::string BesideTests(const std::string& name)
{
    char path[MAX_PATH];
    const std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

// The narrow path is in the ANSI code page, as every narrow API takes it.
std::wstring Quoted(const std::string& path)
{
    std::wstring wide(path.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, kNoConversionFlags, path.data(),
                                                             static_cast<int>(path.size()), wide.data(),
                                                             static_cast<int>(wide.size()))));
    return L"\"" + wide + L"\"";
}

std::size_t LongestArguments()
{
    return kCommandLineLimit - 1 - CommandLinePrefix().size();
}

std::vector<ProgramRun> RunLoclistfixTogether(const std::wstring& arguments, int count)
{
    std::vector<Child> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(Start(CommandLinePrefix() + arguments));
    }
    std::vector<ProgramRun> runs;
    for (const Child& child : children) {
        runs.push_back(Finish(child));
    }
    return runs;
}

ProgramRun RunCommandLine(const std::wstring& commandLine)
{
    return Finish(Start(commandLine));
}
