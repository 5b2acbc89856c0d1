#include "program_run.h"

namespace {

constexpr DWORD kRunTimeoutMs = 60000;
constexpr LPCSTR kNoApplicationName = nullptr;
constexpr LPSECURITY_ATTRIBUTES kDefaultProcessSecurity = nullptr;
constexpr LPSECURITY_ATTRIBUTES kDefaultThreadSecurity = nullptr;
constexpr BOOL kInheritHandles = TRUE;
constexpr DWORD kNoCreationFlags = 0;
constexpr LPVOID kSameEnvironment = nullptr;
constexpr LPCSTR kSameDirectory = nullptr;
constexpr DWORD kNoSharing = 0;
constexpr HANDLE kNoTemplate = nullptr;

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~OwnedHandle()
    {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE Get() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

std::string LoclistfixPath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + "loclistfix.exe";
}

namespace {

// An inheritable, self-deleting file to take the child's standard output and error.
HANDLE CreateOutputFile()
{
    char directory[MAX_PATH];
    char file[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "llf", 0, file);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return CreateFileA(file, GENERIC_READ | GENERIC_WRITE, kNoSharing, &inheritable, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, kNoTemplate);
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

}  // namespace

ProgramRun RunLoclistfix(const std::string& arguments)
{
    OwnedHandle output(CreateOutputFile());
    if (output.Get() == INVALID_HANDLE_VALUE) {
        return {false, 0, {}};
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();

    // CreateProcess may write into the command line, so it gets a copy.
    std::string commandLine = "\"" + LoclistfixPath() + "\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(kNoApplicationName, commandLine.data(), kDefaultProcessSecurity, kDefaultThreadSecurity,
                        kInheritHandles, kNoCreationFlags, kSameEnvironment, kSameDirectory, &startup, &process)) {
        return {false, 0, {}};
    }
    OwnedHandle processHandle(process.hProcess);
    OwnedHandle threadHandle(process.hThread);
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, kRunTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    return {true, exitCode, ReadAll(output.Get())};
}
