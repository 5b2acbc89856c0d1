#include <gtest/gtest.h>

#include "support/registry.h"  // windows.h, which sddl.h needs first

#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/program_run.h"

// The program run as an administrator would run it, against the machine's
// own location list, checked afterwards through the registry API.

namespace {

using registry::Dword;
using registry::String;
using registry::Tree;
using registry::Value;

constexpr char kLocationsPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
constexpr char kReadOnlyForEveryone[] = "D:P(A;OICI;KR;;;WD)";

// On 64-bit Windows the 32-bit and the 64-bit view of the registry share this
// key (Wine links the one to the other). The tests seed the list through the
// view the program does not use, and check it through both.
constexpr REGSAM kOwnView = 0;
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A location list with the three values in `head` and what usually surrounds them.
Tree LocationList(std::vector<Value> head)
{
    head.push_back(Dword("NextID", 3));
    head.push_back(Dword("DisableCallWaiting", 0));
    return {
        {"", head},
        {"Location1", {Dword("ID", 1), String("Name", "Office"), String("AreaCode", "206"), Dword("Country", 1),
                       Dword("Flags", 1), String("OutsideAccess", "9")}},
        {"Location2", {Dword("ID", 2), String("Name", "Home"), String("AreaCode", "425"), Dword("Country", 1),
                       Dword("Flags", 0)}},
    };
}

const Value kCurrentId = Dword("CurrentID", 1);
const Value kNumEntries = Dword("NumEntries", 2);

Value Version(DWORD version)
{
    return Dword("LocationListVersion", version);
}

Tree Without(Tree tree, const std::string& valueName)
{
    auto& values = tree[""];
    values.erase(std::remove_if(values.begin(), values.end(),
                                [&](const Value& value) { return value.name == valueName; }),
                 values.end());
    return tree;
}

class LocationListTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!RunningUnderWine()) {
            GTEST_SKIP() << "rewrites the machine's own location list: run it in a Wine prefix";
        }
        RemoveList();
        const LSTATUS status =
            registry::Create(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_ALL_ACCESS | kOtherView, list_);
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

    static Tree Snapshot(REGSAM view = kOwnView)
    {
        registry::OwnedKey key;
        EXPECT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_READ | view, key), ERROR_SUCCESS);
        return registry::Snapshot(key.Get());
    }

    static void ExpectList(const Tree& expected)
    {
        EXPECT_EQ(Snapshot(kOwnView), expected);
        EXPECT_EQ(Snapshot(kOtherView), expected);
    }

    static void ExpectSilentSuccess(const ProgramRun& run)
    {
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.output, "");
    }

    registry::OwnedKey list_;
};

struct ListState {
    const char* name;
    Tree list;
    bool numEntriesGoes;
    const char* arguments = "";
};

const ListState kListStates[] = {
    {"VersionTwo", LocationList({kCurrentId, kNumEntries, Version(2)}), true},
    {"VersionTwoWithArguments", LocationList({kCurrentId, kNumEntries, Version(2)}), true,
     "/? --help -v NumEntries \"two words\""},
    {"VersionTwoNumEntriesAlreadyGone", LocationList({kCurrentId, Version(2)}), false},
    {"VersionOne", LocationList({kCurrentId, kNumEntries, Version(1)}), false},
    {"VersionThree", LocationList({kCurrentId, kNumEntries, Version(3)}), false},
    {"VersionAbsent", LocationList({kCurrentId, kNumEntries}), false},
    {"CurrentIdAbsent", LocationList({kNumEntries, Version(2)}), false},
    {"VersionEightBytesLowWordTwo", LocationList({kCurrentId, kNumEntries, registry::Qword("LocationListVersion", 2)}),
     false},
};

class LocationListRuns : public LocationListTest, public testing::WithParamInterface<ListState> {};

TEST_P(LocationListRuns, OnlyAVersionTwoListLosesNumEntriesAndOnlyOnce)
{
    const ListState& state = GetParam();
    ASSERT_EQ(registry::Seed(list_.Get(), state.list), ERROR_SUCCESS);
    const Tree before = Snapshot();

    ExpectSilentSuccess(RunLoclistfix(state.arguments));
    const Tree after = state.numEntriesGoes ? Without(before, "NumEntries") : before;
    ExpectList(after);

    ExpectSilentSuccess(RunLoclistfix(state.arguments));
    ExpectList(after);
}

INSTANTIATE_TEST_SUITE_P(States, LocationListRuns, testing::ValuesIn(kListStates),
                         [](const testing::TestParamInfo<ListState>& row) { return row.param.name; });

TEST_F(LocationListTest, AbsentListIsNotCreated)
{
    RemoveList();
    ExpectSilentSuccess(RunLoclistfix(""));
    for (REGSAM view : {kOwnView, kOtherView}) {
        registry::OwnedKey key;
        EXPECT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_READ | view, key), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(LocationListTest, ListWeMayNotWriteIsLeftAlone)
{
    ASSERT_EQ(registry::Seed(list_.Get(), LocationList({kCurrentId, kNumEntries, Version(2)})), ERROR_SUCCESS);
    const Tree before = Snapshot();

    // The handle keeps the right to put the original security back.
    registry::OwnedKey guard;
    ASSERT_EQ(registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, READ_CONTROL | WRITE_DAC, guard), ERROR_SUCCESS);
    std::vector<BYTE> original(4096);
    DWORD originalSize = static_cast<DWORD>(original.size());
    ASSERT_EQ(RegGetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data(), &originalSize),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kReadOnlyForEveryone, SDDL_REVISION_1,
                                                                     &readOnly, nullptr));
    ASSERT_EQ(RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, readOnly), ERROR_SUCCESS);
    LocalFree(readOnly);

    registry::OwnedKey probe;
    const LSTATUS probeStatus =
        registry::Open(HKEY_LOCAL_MACHINE, kLocationsPath, KEY_WRITE | KEY_QUERY_VALUE, probe);
    if (probeStatus == ERROR_SUCCESS) {
        RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data());
        GTEST_SKIP() << "this account is not held to the key's security";
    }
    EXPECT_EQ(probeStatus, ERROR_ACCESS_DENIED);

    ExpectSilentSuccess(RunLoclistfix(""));
    ExpectList(before);
    EXPECT_EQ(RegSetKeySecurity(guard.Get(), DACL_SECURITY_INFORMATION, original.data()), ERROR_SUCCESS);
}

}  // namespace
