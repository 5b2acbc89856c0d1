#include "powershell_engine.h"

#include <cstdlib>
#include <vector>

#include "program_run.h"

// The engine's side is tests/powershell/Program.cs, which describes the
// requests and the framed answers read here.

namespace {

// Ready in about 4 s here, and 10 s for a 32-bit engine; emulated by
// qemu-i386, a 32-bit engine may take minutes.
constexpr ULONGLONG kStartTimeoutMs = 600000;
constexpr ULONGLONG kRunTimeoutMs = 120000;
constexpr DWORD kEndTimeoutMs = 10000;
constexpr DWORD kPollMs = 2;
constexpr DWORD kChunk = 65536;
constexpr std::size_t kErrorsShown = 2000;

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

std::string EnginePath()
{
    return BesideTests("powershell\\ScriptHost.exe");
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileText(HANDLE file, LONG from = 0)
{
    const DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || static_cast<LONG>(size) <= from) {
        return {};
    }
    std::string text(size - static_cast<DWORD>(from), '\0');
    SetFilePointer(file, from, nullptr, FILE_BEGIN);
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    text.resize(read);
    return text;
}

std::string Utf8(const std::wstring& wide)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

bool NameIs(const std::wstring& entry, const std::wstring& name)
{
    return entry.size() > name.size() && entry[name.size()] == L'=' &&
           CompareStringOrdinal(entry.data(), static_cast<int>(name.size()), name.data(), static_cast<int>(name.size()),
                                TRUE) == CSTR_EQUAL;
}

// This process's environment, and no W^X double mapping of .NET's code,
// with which Wine 8 ends the engine in a finalizer ("Internal CLR error.
// (0x80131506)"). Wine's mscoree.dll must be on too: scripts/wine.sh.
std::vector<wchar_t> EngineEnvironment()
{
    const std::wstring name = L"DOTNET_EnableWriteXorExecute";
    std::vector<wchar_t> block;
    LPWCH strings = GetEnvironmentStringsW();
    for (LPCWSTR entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        if (!NameIs(text, name)) {
            block.insert(block.end(), text.c_str(), text.c_str() + text.size() + 1);
        }
    }
    FreeEnvironmentStringsW(strings);
    const std::wstring off = name + L"=0";
    block.insert(block.end(), off.c_str(), off.c_str() + off.size() + 1);
    block.push_back(L'\0');
    return block;
}

}  // namespace

struct PowerShellEngine::Pipes {
    OwnedHandle input;   // the engine's standard input, this end
    OwnedHandle output;  // its standard output, this end
    OwnedHandle errors;  // a self-deleting file with its standard error: Wine's and .NET's own messages
    OwnedHandle process;
    std::string buffer;  // read from `output` and not yet taken

    std::string Errors() const
    {
        const std::string text = ReadFileText(errors.get());
        return text.size() > kErrorsShown ? text.substr(text.size() - kErrorsShown) : text;
    }

    // Reads until `buffer` holds `size` bytes: empty, or why not.
    std::string Fill(std::size_t size, ULONGLONG deadline)
    {
        while (buffer.size() < size) {
            DWORD available = 0;
            if (!PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr)) {
                DWORD status = STILL_ACTIVE;
                WaitForSingleObject(process.get(), kEndTimeoutMs);
                GetExitCodeProcess(process.get(), &status);
                return "the engine ended, with status " + std::to_string(status) + "; it wrote: " + Errors();
            }
            if (available > 0) {
                std::string chunk(available < kChunk ? available : kChunk, '\0');
                DWORD read = 0;
                ReadFile(output.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr);
                buffer.append(chunk, 0, read);
            } else if (GetTickCount64() > deadline) {
                // Ended first, so that its error file is read, not written, from here on.
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), kEndTimeoutMs);
                return "the engine gave no answer in time; it wrote: " + Errors();
            } else {
                Sleep(kPollMs);
            }
        }
        return {};
    }

    // Takes one line, without its "\n".
    std::string TakeLine(std::string& line, ULONGLONG deadline)
    {
        std::size_t end = 0;
        while ((end = buffer.find('\n')) == std::string::npos) {
            if (std::string why = Fill(buffer.size() + 1, deadline); !why.empty()) {
                return why;
            }
        }
        line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return {};
    }

    // Takes "LABEL LENGTH\n" and the LENGTH bytes after it.
    std::string TakeText(const std::string& label, std::string& text, ULONGLONG deadline)
    {
        std::string line;
        if (std::string why = TakeLine(line, deadline); !why.empty()) {
            return why;
        }
        if (line.rfind(label + " ", 0) != 0) {
            return "the engine answered \"" + line + "\" where \"" + label + " LENGTH\" was due";
        }
        const auto size = static_cast<std::size_t>(std::strtoul(line.c_str() + label.size() + 1, nullptr, 10));
        if (std::string why = Fill(size, deadline); !why.empty()) {
            return why;
        }
        text = buffer.substr(0, size);
        buffer.erase(0, size);
        return {};
    }
};

PowerShellEngine::PowerShellEngine() : pipes_(std::make_unique<Pipes>()) {}

PowerShellEngine::~PowerShellEngine()
{
    if (!pipes_->process) {
        return;
    }
    // The end of its input ends the engine; one that hangs is ended here.
    pipes_->input.reset();
    if (WaitForSingleObject(pipes_->process.get(), kEndTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(pipes_->process.get(), 1);
        WaitForSingleObject(pipes_->process.get(), kEndTimeoutMs);
    }
}

std::string PowerShellEngine::WhyNotBuilt()
{
    if (Exists(EnginePath())) {
        return {};
    }
    // The build says why it made no engine (tests/cmake/PowerShellEngine.cmake).
    OwnedHandle file(CreateFileA(BesideTests("powershell-engine.why-not").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return "no PowerShell engine was built beside the tests";
    }
    return ReadFileText(file.get());
}

std::string PowerShellEngine::Start()
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &input, &inheritable, 0)) {
        return "creating the engine's input pipe failed with error " + std::to_string(GetLastError());
    }
    pipes_->input.reset(input);
    const OwnedHandle childInputOwned(childInput);
    if (!CreatePipe(&output, &childOutput, &inheritable, 0)) {
        return "creating the engine's output pipe failed with error " + std::to_string(GetLastError());
    }
    pipes_->output.reset(output);
    const OwnedHandle childOutputOwned(childOutput);
    wchar_t directory[MAX_PATH];
    wchar_t file[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"pse", 0, file);
    HANDLE errors = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (errors == INVALID_HANDLE_VALUE) {
        return "creating the engine's error file failed with error " + std::to_string(GetLastError());
    }
    pipes_->errors.reset(errors);
    // This end stays with this process: no other child may hold the engine's
    // input open, or the engine would never see its end.
    SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = errors;
    std::wstring commandLine = Quoted(EnginePath());
    std::vector<wchar_t> environment = EngineEnvironment();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), nullptr, &startup, &process)) {
        return "starting " + EnginePath() + " failed with error " + std::to_string(GetLastError());
    }
    CloseHandle(process.hThread);
    pipes_->process.reset(process.hProcess);
    SetHandleInformation(errors, HANDLE_FLAG_INHERIT, 0);

    std::string line;
    if (std::string why = pipes_->TakeLine(line, GetTickCount64() + kStartTimeoutMs); !why.empty()) {
        return "starting the engine: " + why;
    }
    if (line.rfind("ready ", 0) != 0) {
        return "the engine started with \"" + line + "\" rather than \"ready VERSION\"";
    }
    version_ = line.substr(6);
    return {};
}

ScriptRun PowerShellEngine::Run(const char* languageMode, const std::wstring& script)
{
    ScriptRun run{{}, 0, {}, {}};
    if (!pipes_->process) {
        run.whyNot = "the engine was not started";
        return run;
    }
    const std::string request = std::string(languageMode) + " " + Utf8(script) + "\n";
    DWORD written = 0;
    if (!WriteFile(pipes_->input.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr) ||
        written != request.size()) {
        run.whyNot = "writing the request failed with error " + std::to_string(GetLastError());
        return run;
    }
    const ULONGLONG deadline = GetTickCount64() + kRunTimeoutMs;
    std::string line;
    if (std::string why = pipes_->TakeLine(line, deadline); !why.empty()) {
        run.whyNot = why;
        return run;
    }
    if (line.rfind("exit ", 0) != 0) {
        // "fault LENGTH": the text says what was wrong with the request.
        pipes_->buffer.insert(0, line + "\n");
        std::string fault;
        const std::string why = pipes_->TakeText("fault", fault, deadline);
        run.whyNot = why.empty() ? "the engine refused the request: " + fault : why;
        return run;
    }
    run.exitStatus = static_cast<DWORD>(std::strtol(line.c_str() + 5, nullptr, 10));
    run.whyNot = pipes_->TakeText("stdout", run.out, deadline);
    if (run.whyNot.empty()) {
        run.whyNot = pipes_->TakeText("stderr", run.err, deadline);
    }
    return run;
}
