#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "check_cmd_path.h"
#include "location_lists.h"
#include "support/key_lock.h"
#include "support/powershell_engine.h"
#include "support/program_run.h"

// The administrators' PowerShell scripts, deploy/*.ps1, run by a real
// PowerShell engine against Wine's registry in every state of the table in
// which the check answers (tests/location_lists.cpp), the table to which
// program_test holds check.cmd and loclistfix. One engine runs them all.

namespace {

using registry::Tree;

constexpr char kTelephonyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony";
constexpr char kLocationsPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
constexpr char kFullLanguage[] = "FullLanguage";
constexpr char kConstrainedLanguage[] = "ConstrainedLanguage";

// A file of deploy/, beside check.cmd, or its copy in `folder`.
std::wstring DeployFile(const wchar_t* name, const wchar_t* folder)
{
    const std::wstring check = kCheckCmdPath;
    const std::wstring source = check.substr(0, check.find_last_of(L'\\') + 1) + name;
    if (folder == nullptr) {
        return source;
    }
    CreateDirectoryW(folder, nullptr);
    const std::wstring copy = std::wstring(folder) + L"\\" + name;
    EXPECT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE)) << "copying to the state's folder";
    return copy;
}

Tree WithoutNumEntries(Tree tree)
{
    auto& values = tree["Locations"];
    values.erase(std::remove_if(values.begin(), values.end(),
                                [](const registry::Value& value) { return value.name == "NumEntries"; }),
                 values.end());
    return tree;
}

Tree Telephony()
{
    registry::OwnedKey key;
    EXPECT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kTelephonyPath, KEY_READ, key), ERROR_SUCCESS);
    return registry::Snapshot(key.Get());
}

class DeployScripts : public testing::Test {
protected:
    void SetUp() override
    {
        if (!RunningUnderWine()) {
            GTEST_SKIP() << "rewrites the machine's own location list: run it in a Wine prefix";
        }
        if (const std::string why = PowerShellEngine::WhyNotBuilt(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        const ULONGLONG start = GetTickCount64();
        ASSERT_EQ(engine_.Start(), "");
        std::printf("PowerShell %s ready in %llu ms\n", engine_.Version().c_str(), GetTickCount64() - start);
    }

    void TearDown() override
    {
        // Leave an empty list behind, as a new Wine prefix has.
        RemoveList();
        registry::OwnedKey empty;
        registry::Create(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_READ, empty);
    }

    static void RemoveList()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLocationsPath);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kLocationsPath);
    }

    // The machine's list as the state has it, afresh, its key locked where
    // the state says: the Telephony tree as it was before the lock.
    static Tree Seed(const ListState& state, KeyLock& lock)
    {
        RemoveList();
        if (state.list) {
            registry::OwnedKey list;
            EXPECT_EQ(registry::Create(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_ALL_ACCESS, list), ERROR_SUCCESS);
            EXPECT_EQ(registry::Seed(list.Get(), *state.list), ERROR_SUCCESS);
        }
        Tree before = Telephony();
        if (state.securityDescriptor != nullptr) {
            EXPECT_EQ(lock.Lock(kLocationsPath, state.securityDescriptor), "");
        }
        return before;
    }

    ScriptRun Run(const wchar_t* script, const ListState& state, const char* languageMode = kFullLanguage)
    {
        const std::wstring path = DeployFile(script, state.folder);
        const ULONGLONG start = GetTickCount64();
        ScriptRun run = engine_.Run(languageMode, path);
        scriptsMs_ += GetTickCount64() - start;
        ++scripts_;
        EXPECT_TRUE(run.Ran()) << run.whyNot;
        return run;
    }

    PowerShellEngine engine_;
    // What the scripts cost, for the record.
    ULONGLONG scriptsMs_ = 0;
    int scripts_ = 0;
};

TEST_F(DeployScripts, AnswerAsTheCheckAndChangeAsTheProgramInEveryState)
{
    // The engine runs each script in the language mode asked for.
    wchar_t directory[MAX_PATH];
    wchar_t probe[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"pss", 0, probe);
    const std::wstring probeScript = std::wstring(probe) + L".ps1";
    MoveFileW(probe, probeScript.c_str());
    const char body[] = "$ExecutionContext.SessionState.LanguageMode\r\nWrite-Error 'to stderr'\r\nexit 3\r\n";
    HANDLE file = CreateFileW(probeScript.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, body, sizeof body - 1, &written, nullptr);
    CloseHandle(file);
    for (const char* mode : {kFullLanguage, kConstrainedLanguage}) {
        const ScriptRun run = engine_.Run(mode, probeScript);
        ASSERT_TRUE(run.Ran()) << run.whyNot;
        EXPECT_EQ(run.out, std::string(mode) + "\r\n");
        EXPECT_EQ(run.err, "to stderr\r\n");
        EXPECT_EQ(run.exitStatus, 3u);
    }
    DeleteFileW(probeScript.c_str());

    // Under Constrained Language Mode every script says why it cannot run,
    // fails, and changes nothing.
    {
        const ListState state = {"ConstrainedLanguage", VersionTwoList(), true};
        KeyLock lock;
        const Tree before = Seed(state, lock);
        for (const wchar_t* script : {L"intune-detect.ps1", L"intune-remediate.ps1", L"configmgr-detect.ps1"}) {
            const ScriptRun run = Run(script, state, kConstrainedLanguage);
            EXPECT_EQ(run.out, "cannot run: PowerShell language mode is ConstrainedLanguage\r\n");
            EXPECT_EQ(run.exitStatus, 1u);
        }
        EXPECT_EQ(registry::Differences(Telephony(), before), "") << "under Constrained Language Mode";
    }

    for (const ListState& state : ListStates()) {
        if (state.answer.empty()) {
            continue;
        }
        SCOPED_TRACE(state.name);
        KeyLock lock;
        const Tree before = Seed(state, lock);

        // Intune's detection: check.cmd's line; 0 where check.cmd says 0,
        // else 1, so that Remediations show a state it cannot read.
        const ScriptRun detect = Run(L"intune-detect.ps1", state);
        EXPECT_EQ(detect.out, state.answer + "\r\n");
        EXPECT_EQ(detect.err, "");
        EXPECT_EQ(detect.exitStatus, state.exitStatus == 0 ? 0u : 1u);

        // Configuration Manager's: the line where there is nothing to do,
        // nothing where NumEntries is still present, and the line on
        // standard error with exit 2 where the list cannot be read.
        const ScriptRun configmgr = Run(L"configmgr-detect.ps1", state);
        const bool unread = state.exitStatus == 2;
        EXPECT_EQ(configmgr.out, state.exitStatus == 0 ? state.answer + "\r\n" : "");
        EXPECT_EQ(configmgr.err, unread ? state.answer + "\r\n" : "");
        EXPECT_EQ(configmgr.exitStatus, unread ? 2u : 0u);

        // The remediation: the row's change where the check answers 1, none
        // where it cannot read. Where it removed NumEntries, the record from
        // the check's line, then "NumEntries gone"; where it could not read
        // or the delete was denied, the reason on standard error, exit 1 and
        // no record.
        const ScriptRun remediate = Run(L"intune-remediate.ps1", state);
        lock.Unlock();
        const bool removes = state.exitStatus == 1 && state.numEntriesGoes;
        const bool deleteDenied = state.exitStatus == 1 && !state.numEntriesGoes;
        EXPECT_EQ(registry::Differences(Telephony(), removes ? WithoutNumEntries(before) : before), "")
            << "the remediation's effect";
        const std::string present = "NumEntries still present: ";
        if (unread || deleteDenied) {
            EXPECT_EQ(remediate.out, "");
            const std::string reason = unread ? state.answer + "\r\n" : "could not remove NumEntries: ";
            EXPECT_EQ(remediate.err.substr(0, unread ? std::string::npos : reason.size()), reason);
            EXPECT_EQ(remediate.exitStatus, 1u);
        } else if (state.exitStatus == 1) {
            EXPECT_EQ(remediate.out, "removed NumEntries, which was " + state.answer.substr(present.size()) +
                                         "\r\nNumEntries gone\r\n");
            EXPECT_EQ(remediate.err, "");
            EXPECT_EQ(remediate.exitStatus, 0u);
        } else {
            EXPECT_EQ(remediate.out, state.answer + "\r\n");
            EXPECT_EQ(remediate.err, "");
            EXPECT_EQ(remediate.exitStatus, 0u);
        }
    }
    std::printf("%d scripts run in %llu ms\n", scripts_, scriptsMs_);
}

}  // namespace
