#include <gtest/gtest.h>

#include "support/registry.h"  // windows.h, which sddl.h needs first

#include <sddl.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "guide_check_line.h"
#include "location_lists.h"
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

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

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

class LocationListRuns : public LocationListTest, public testing::WithParamInterface<ListState> {};

TEST_P(LocationListRuns, OnlyAVersionTwoListLosesNumEntriesAndOnlyOnce)
{
    const ListState& state = GetParam();
    const Views expected = Seed(state.list, state.numEntriesGoes);
    for (int run = 0; run < 2; ++run) {
        ExpectSilentSuccess(RunLoclistfix(state.arguments));
        SCOPED_TRACE("run " + std::to_string(run + 1));
        ExpectTelephony(expected);
    }
}

INSTANTIATE_TEST_SUITE_P(States, LocationListRuns, testing::ValuesIn(ListStates()), RowName());

TEST_F(LocationListTest, AbsentListIsNotCreated)
{
    RemoveList();
    ExpectSilentSuccess(RunLoclistfix());
    for (REGSAM view : kViews) {
        registry::OwnedKey key;
        EXPECT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_READ | view, key), ERROR_FILE_NOT_FOUND);
    }
}

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

// The administrator's guide's check line, run by Wine's own cmd and reg, says
// the value is there before the program runs and gone after.
TEST_F(LocationListTest, TheGuidesCheckLineSaysPresentThenGone)
{
    static_cast<void>(Seed(VersionTwoList(), true));
    const std::wstring check = std::wstring(L"cmd.exe /d /c ") + kGuideCheckLine;
    for (const char* expected : {"NumEntries still present", "NumEntries gone"}) {
        const ProgramRun run = RunCommandLine(check);
        ASSERT_TRUE(run.Started()) << run.whyNot;
        EXPECT_EQ(run.output.rfind(expected, 0), 0u) << run.output;
        ExpectSilentSuccess(RunLoclistfix());
    }
}

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

    // The handle keeps the right to put the original security back.
    registry::OwnedKey guard;
    ASSERT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, READ_CONTROL | WRITE_DAC, guard), ERROR_SUCCESS);
    std::vector<BYTE> original(4096);
    DWORD originalSize = static_cast<DWORD>(original.size());
    ASSERT_EQ(RegGetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data(), &originalSize), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR locked = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(GetParam().securityDescriptor, SDDL_REVISION_1,
                                                                     &locked, nullptr));
    ASSERT_EQ(RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, locked), ERROR_SUCCESS);
    LocalFree(locked);

    registry::OwnedKey probe;
    const LSTATUS probeStatus = registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_ALL_ACCESS, probe);
    if (probeStatus == ERROR_SUCCESS) {
        RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data());
        GTEST_SKIP() << "this account is not held to the key's security";
    }
    EXPECT_EQ(probeStatus, ERROR_ACCESS_DENIED);

    ExpectSilentSuccess(RunLoclistfix());
    ASSERT_EQ(RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data()), ERROR_SUCCESS);
    ExpectTelephony(expected);
}

INSTANTIATE_TEST_SUITE_P(Lockouts, LockedLocationList, testing::ValuesIn(kLockouts), RowName());

}  // namespace
