#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "check_cmd_path.h"
#include "location_lists.h"
#include "support/key_lock.h"
#include "support/program_run.h"
#include "support/row_name.h"

// The program run as an administrator would run it, against the machine's
// own location list; afterwards the whole Telephony tree is compared with
// what it held before, through the registry API.

namespace {

using registry::Tree;

constexpr char kTelephonyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony";
constexpr char kLocationsPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
constexpr int kConcurrentRuns = 8;
constexpr int kRepeatedRuns = 100;

// On 64-bit Windows the 32-bit and the 64-bit view of the registry share the
// Locations key (Wine links the one to the other). The tests seed the list
// through the view the program does not use, and check through both.
constexpr REGSAM kOwnView = 0;
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
constexpr std::array<REGSAM, 2> kViews = {kOwnView, kOtherView};

// The Telephony tree as seen through each of kViews.
using Views = std::array<Tree, kViews.size()>;

Views WithoutNumEntries(Views views)
{
    for (Tree& tree : views) {
        auto& values = tree["Locations"];
        values.erase(std::remove_if(values.begin(), values.end(),
                                    [](const registry::Value& value) { return value.name == "NumEntries"; }),
                     values.end());
    }
    return views;
}

class LocationListTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!RunningUnderWine()) {
            GTEST_SKIP() << "rewrites the machine's own location list: run it in a Wine prefix";
        }
        RemoveList();
        const LSTATUS status = registry::Create(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_ALL_ACCESS | kOtherView, list_);
        if (status == ERROR_ACCESS_DENIED) {
            GTEST_SKIP() << "needs the right to write HKEY_LOCAL_MACHINE";
        }
        ASSERT_EQ(status, ERROR_SUCCESS);
    }

    void TearDown() override
    {
        // Leave an empty list behind, as a new Wine prefix has.
        RemoveList();
        registry::OwnedKey empty;
        registry::Create(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_READ, empty);
    }

    void RemoveList()
    {
        list_.Reset();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLocationsPath);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kLocationsPath);
    }

    // Seeds the list and returns the Telephony tree that a run may leave.
    Views Seed(const Tree& list, bool numEntriesGoes)
    {
        EXPECT_EQ(registry::Seed(list_.Get(), list), ERROR_SUCCESS);
        const Views before = Telephony();
        return numEntriesGoes ? WithoutNumEntries(before) : before;
    }

    static Views Telephony()
    {
        Views views;
        for (std::size_t i = 0; i < kViews.size(); ++i) {
            registry::OwnedKey key;
            EXPECT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kTelephonyPath, KEY_READ | kViews[i], key), ERROR_SUCCESS);
            views[i] = registry::Snapshot(key.Get());
        }
        return views;
    }

    static void ExpectTelephony(const Views& expected)
    {
        const Views actual = Telephony();
        for (std::size_t i = 0; i < kViews.size(); ++i) {
            EXPECT_EQ(registry::Differences(actual[i], expected[i]), "") << "view " << i;
        }
    }

    static void ExpectSilentSuccess(const ProgramRun& run)
    {
        ASSERT_TRUE(run.Started()) << run.whyNot;
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.output, "");
    }

    registry::OwnedKey list_;
};

TEST_F(LocationListTest, ConcurrentRunsAllSucceedAndRemoveNumEntriesOnce)
{
    const Views expected = Seed(VersionTwoList(), true);
    for (const ProgramRun& run : RunLoclistfixTogether({}, kConcurrentRuns)) {
        ExpectSilentSuccess(run);
    }
    ExpectTelephony(expected);
}

TEST_F(LocationListTest, RepeatedRunsChangeNothingAfterTheFirst)
{
    const Views expected = Seed(VersionTwoList(), true);
    for (int run = 0; run < kRepeatedRuns; ++run) {
        ExpectSilentSuccess(RunLoclistfix());
    }
    ExpectTelephony(expected);
}

// ERROR_ACCESS_DENIED where this account is held to a locked key's security;
// an administrator in some settings is not, and gets ERROR_SUCCESS.
LSTATUS FullAccess(const char* path)
{
    registry::OwnedKey probe;
    return registry::Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, probe);
}

// Each state of the table. Where the row has the check's answer, the
// administrators' check, deploy/check.cmd, run by Wine's own cmd and reg from
// the source tree or from a copy, prints it first. The program then runs
// silently and leaves the row's effect; where it changed the list, it runs
// again and changes nothing more, and the check answers again, "NumEntries
// gone". Elsewhere the list is as it was, and so is the check's answer.
class ListStates : public LocationListTest, public testing::WithParamInterface<ListState> {
protected:
    static void ExpectAnswer(const std::wstring& commandLine, const std::string& answer, DWORD exitStatus)
    {
        // A check starts some twenty processes, and on a loaded host Wine
        // now and then loses one while starting it (see program_run.cpp):
        // its cmd may say it cannot recognize the command that for /f runs,
        // or the for /f may read nothing, and the check reads that as a
        // missing value. The check itself does the same every time, so an
        // answer that differs is asked for again, twice at most: a fault in
        // the check still gives the wrong answer each time.
        const auto expected = [&](const ProgramRun& run) {
            return run.output == answer + "\r\n" && run.exitCode == exitStatus;
        };
        ProgramRun run = RunCommandLine(commandLine);
        for (int attempt = 1; attempt < 3 && run.Started() && !expected(run); ++attempt) {
            run = RunCommandLine(commandLine);
        }
        ASSERT_TRUE(run.Started()) << run.whyNot;
        EXPECT_EQ(run.output, answer + "\r\n");
        EXPECT_EQ(run.exitCode, exitStatus);
    }

    // cmd's /s takes off the outer quotes alone, whatever the path holds.
    static std::wstring CheckCommandLine(const ListState& state)
    {
        std::wstring check = kCheckCmdPath;
        if (state.folder != nullptr) {
            CreateDirectoryW(state.folder, nullptr);
            const std::wstring copy = std::wstring(state.folder) + L"\\check.cmd";
            EXPECT_TRUE(CopyFileW(kCheckCmdPath, copy.c_str(), FALSE));
            check = copy;
        }
        const std::wstring cmd = state.wow64Cmd ? Wow64Cmd() : L"cmd.exe";
        return cmd + L" /d /s /c \"\"" + check + L"\"\"";
    }

    static std::wstring Wow64Cmd()
    {
        wchar_t wow64[MAX_PATH];
        EXPECT_NE(GetSystemWow64DirectoryW(wow64, MAX_PATH), 0u) << "no 32-bit system folder";
        return L"\"" + std::wstring(wow64) + L"\\cmd.exe\"";
    }
};

TEST_P(ListStates, CheckAnswersAndProgramActsAsTheTableSays)
{
    const ListState& state = GetParam();
    if (state.wow64Cmd) {
        // A host or prefix that runs no 32-bit program has nothing to test here.
        const ProgramRun probe = RunCommandLine(Wow64Cmd() + L" /d /c exit 0");
        if (!probe.Started()) {
            GTEST_SKIP() << "nothing here starts the 32-bit cmd: " << probe.whyNot;
        }
    }
    Views expected;
    if (state.list) {
        expected = Seed(*state.list, state.numEntriesGoes);
    } else {
        RemoveList();
        expected = Telephony();
    }
    KeyLock lock;
    if (state.securityDescriptor != nullptr) {
        ASSERT_EQ(lock.Lock(kLocationsPath, state.securityDescriptor), "");
        const LSTATUS access = FullAccess(kLocationsPath);
        if (access == ERROR_SUCCESS) {
            GTEST_SKIP() << "this account is not held to the key's security";
        }
        EXPECT_EQ(access, ERROR_ACCESS_DENIED);
    }
    const bool checks = !state.answer.empty();
    const std::wstring check = checks ? CheckCommandLine(state) : L"";
    if (checks) {
        ExpectAnswer(check, state.answer, state.exitStatus);
    }
    // A second run meets the list the first left: where that is the seeded
    // one, it is the first run again.
    const int runs = state.numEntriesGoes ? 2 : 1;
    for (int run = 1; run <= runs; ++run) {
        ExpectSilentSuccess(RunLoclistfix(state.arguments));
        SCOPED_TRACE("run " + std::to_string(run));
        if (state.securityDescriptor == nullptr) {
            ExpectTelephony(expected);
        }
    }
    const bool gone = state.exitStatus == 1 && state.numEntriesGoes;
    if (checks && gone) {
        ExpectAnswer(check, "NumEntries gone", 0);
    }
    // A locked key is read once the lock is off.
    if (state.securityDescriptor != nullptr) {
        ASSERT_EQ(lock.Unlock(), ERROR_SUCCESS);
        ExpectTelephony(expected);
    }
}

INSTANTIATE_TEST_SUITE_P(States, ListStates, testing::ValuesIn(::ListStates()), RowName());

// The key's security for one run; none of them grants full access.
struct Lockout {
    const char* name;
    const char* securityDescriptor;
    bool numEntriesGoes;
};

void PrintTo(const Lockout& lockout, std::ostream* out)
{
    *out << lockout.name;
}

const Lockout kLockouts[] = {
    {"ReadOnlyForEveryone", "D:P(A;OICI;KR;;;WD)", false},
    {"NoAccessForAnyone", "D:P", false},
    // Query value, set value, create subkey and read control, and nothing
    // more: all that a delegated account needs to be given.
    {"ExactlyWhatTheProgramAsks", "D:P(A;OICI;0x20007;;;WD)", true},
};

class LockedLocationList : public LocationListTest, public testing::WithParamInterface<Lockout> {};

TEST_P(LockedLocationList, ChangesOnlyWhatItsRightsAllow)
{
    const Views expected = Seed(VersionTwoList(), GetParam().numEntriesGoes);

    KeyLock lock;
    ASSERT_EQ(lock.Lock(kLocationsPath, GetParam().securityDescriptor), "");
    const LSTATUS access = FullAccess(kLocationsPath);
    if (access == ERROR_SUCCESS) {
        GTEST_SKIP() << "this account is not held to the key's security";
    }
    EXPECT_EQ(access, ERROR_ACCESS_DENIED);

    ExpectSilentSuccess(RunLoclistfix());
    ASSERT_EQ(lock.Unlock(), ERROR_SUCCESS);
    ExpectTelephony(expected);
}

INSTANTIATE_TEST_SUITE_P(Lockouts, LockedLocationList, testing::ValuesIn(kLockouts), RowName());

}  // namespace
