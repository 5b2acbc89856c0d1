#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "registry/locations_key.h"
#include "support/registry.h"
#include "support/registry_calls.h"
#include "support/row_name.h"
#include "support/scratch_key.h"

namespace {

using registry::Dword;
using registry::Qword;
using registry::Value;
using Call = RegistryCall;
using Calls = std::vector<Call>;

struct Read {
    bool succeeds;
    bool lastQuerySucceeds;
    DWORD currentId;
    DWORD numEntries;
    DWORD locationListVersion;
};

struct KeyState {
    const char* name;
    // No values at all means no key at all.
    std::vector<Value> values;
    Read read;
    // Every registry call, from construction to destruction.
    Calls calls;
};

// Query value, set value, create subkey and read control: what writing one
// value needs, and nothing more.
constexpr REGSAM kLeastAccess = 0x20007;
constexpr DWORD kWordSize = 4;
const Call kOpen{Call::Function::Open, Call::Key::Machine, {}, kLeastAccess, 0, 0};
const Call kClose{Call::Function::Close, Call::Key::Opened, {}, 0, 0, 0};

Call Query(const char* name)
{
    return {Call::Function::Query, Call::Key::Opened, name, 0, 0, kWordSize};
}

Call Delete(const char* name)
{
    return {Call::Function::Delete, Call::Key::Opened, name, 0, 0, 0};
}

const Calls kOpenFails = {kOpen};
const Calls kStopsAtCurrentId = {kOpen, Query("CurrentID"), kClose};
const Calls kReadsAll = {kOpen, Query("CurrentID"), Query("NumEntries"), Query("LocationListVersion"), kClose};

// Names the row, not its bytes, when a test of it fails.
void PrintTo(const KeyState& state, std::ostream* out)
{
    *out << state.name;
}

const Value kCurrentId = Dword("CurrentID", 7);
const Value kNumEntries = Dword("NumEntries", 3);
const Value kVersion = Dword("LocationListVersion", 2);

const KeyState kKeyStates[] = {
    {"AllPresent", {kCurrentId, kNumEntries, kVersion}, {true, true, 7, 3, 2}, kReadsAll},
    {"KeyAbsent", {}, {false, false, 0, 0, 0}, kOpenFails},
    {"CurrentIdAbsent", {kNumEntries, kVersion}, {false, false, 0, 0, 0}, kStopsAtCurrentId},
    {"NumEntriesAbsent", {kCurrentId, kVersion}, {true, true, 7, 0, 2}, kReadsAll},
    {"VersionAbsent", {kCurrentId, kNumEntries}, {true, false, 7, 3, 0}, kReadsAll},
    {"CurrentIdEightBytes", {Qword("CurrentID", 7), kNumEntries, kVersion}, {false, false, 0, 0, 0}, kStopsAtCurrentId},
    // Oversized values leave the buffer holding their first bytes (see
    // RegistryCallRecorder), which must not reach the fields.
    {"VersionEightBytesLowWordTwo",
     {kCurrentId, kNumEntries, Qword("LocationListVersion", 2)},
     {true, false, 7, 3, 0},
     kReadsAll},
    {"ShortDataOfOtherTypes",
     {Value{"CurrentID", REG_BINARY, {0x05}}, Value{"NumEntries", REG_NONE, {0x34, 0x12}},
      Value{"LocationListVersion", REG_BINARY, {0x02, 0x00, 0x00}}},
     {true, true, 5, 0x1234, 2},
     kReadsAll},
    {"EmptyData",
     {Value{"CurrentID", REG_BINARY, {}}, Value{"NumEntries", REG_DWORD, {}}, kVersion},
     {true, true, 0, 0, 2},
     kReadsAll},
};

class LocationsKeyReads : public testing::TestWithParam<KeyState> {};

TEST_P(LocationsKeyReads, FieldsAndStatusFollowTheKey)
{
    const KeyState& state = GetParam();
    ScratchKey scratch(std::string("reads-") + state.name);
    if (!state.values.empty()) {
        ASSERT_EQ(registry::Seed(HKEY_LOCAL_MACHINE, {{scratch.Path(), state.values}}), ERROR_SUCCESS);
    }

    const RegistryCallRecorder recorder;
    {
        LocationsKey locations;
        const LSTATUS result = locations.OpenAndRead(scratch.Path().c_str());

        EXPECT_EQ(result == ERROR_SUCCESS, state.read.succeeds);
        EXPECT_EQ(locations.Status() == ERROR_SUCCESS, state.read.lastQuerySucceeds);
        EXPECT_EQ(locations.CurrentId(), state.read.currentId);
        EXPECT_EQ(locations.NumEntries(), state.read.numEntries);
        EXPECT_EQ(locations.LocationListVersion(), state.read.locationListVersion);
        EXPECT_EQ(locations.Key() != nullptr, !state.values.empty());
    }
    EXPECT_EQ(recorder.Calls(), state.calls);
}

INSTANTIATE_TEST_SUITE_P(States, LocationsKeyReads, testing::ValuesIn(kKeyStates), RowName());

TEST(LocationsKeyDelete, RemovesOnlyTheNamedValueAndReportsAMissingOne)
{
    ScratchKey scratch("delete");
    ASSERT_EQ(registry::Seed(HKEY_LOCAL_MACHINE, {{scratch.Path(), {kCurrentId, kNumEntries, kVersion}}}),
              ERROR_SUCCESS);
    {
        const RegistryCallRecorder recorder;
        {
            LocationsKey locations;
            ASSERT_EQ(locations.OpenAndRead(scratch.Path().c_str()), ERROR_SUCCESS);
            EXPECT_EQ(locations.DeleteValue("NumEntries"), ERROR_SUCCESS);
            EXPECT_EQ(locations.Status(), ERROR_SUCCESS);
            EXPECT_EQ(locations.DeleteValue("NumEntries"), ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(locations.Status(), ERROR_FILE_NOT_FOUND);
        }
        Calls expected = kReadsAll;
        expected.insert(expected.end() - 1, {Delete("NumEntries"), Delete("NumEntries")});
        EXPECT_EQ(recorder.Calls(), expected);
    }
    registry::OwnedKey key;
    ASSERT_EQ(registry::Open(HKEY_LOCAL_MACHINE, scratch.Path(), KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(registry::Snapshot(key.Get()), (registry::Tree{{"", {kCurrentId, kVersion}}}));
}

}  // namespace
