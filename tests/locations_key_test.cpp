#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/locations_key.h"
#include "support/registry.h"
#include "support/scratch_key.h"

namespace {

using registry::Dword;
using registry::Qword;
using registry::Value;

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
};

const Value kCurrentId = Dword("CurrentID", 7);
const Value kNumEntries = Dword("NumEntries", 3);
const Value kVersion = Dword("LocationListVersion", 2);

const KeyState kKeyStates[] = {
    {"AllPresent", {kCurrentId, kNumEntries, kVersion}, {true, true, 7, 3, 2}},
    {"KeyAbsent", {}, {false, false, 0, 0, 0}},
    {"CurrentIdAbsent", {kNumEntries, kVersion}, {false, false, 0, 0, 0}},
    {"NumEntriesAbsent", {kCurrentId, kVersion}, {true, true, 7, 0, 2}},
    {"VersionAbsent", {kCurrentId, kNumEntries}, {true, false, 7, 3, 0}},
    {"CurrentIdEightBytes", {Qword("CurrentID", 7), kNumEntries, kVersion}, {false, false, 0, 0, 0}},
    // Whatever an oversized query leaves in its buffer must not read as 2.
    {"VersionEightBytesLowWordTwo", {kCurrentId, kNumEntries, Qword("LocationListVersion", 2)}, {true, false, 7, 3, 0}},
    {"ShortDataOfOtherTypes",
     {Value{"CurrentID", REG_BINARY, {0x05}}, Value{"NumEntries", REG_NONE, {0x34, 0x12}},
      Value{"LocationListVersion", REG_BINARY, {0x02, 0x00, 0x00}}},
     {true, true, 5, 0x1234, 2}},
    {"EmptyData", {Value{"CurrentID", REG_BINARY, {}}, Value{"NumEntries", REG_DWORD, {}}, kVersion},
     {true, true, 0, 0, 2}},
};

class LocationsKeyReads : public testing::TestWithParam<KeyState> {};

TEST_P(LocationsKeyReads, FieldsAndStatusFollowTheKey)
{
    const KeyState& state = GetParam();
    ScratchKey scratch(std::string("reads-") + state.name);
    if (!state.values.empty()) {
        ASSERT_EQ(registry::Seed(HKEY_LOCAL_MACHINE, {{scratch.Path(), state.values}}), ERROR_SUCCESS);
    }

    LocationsKey locations;
    const LSTATUS result = locations.OpenAndRead(scratch.Path().c_str());

    EXPECT_EQ(result == ERROR_SUCCESS, state.read.succeeds);
    EXPECT_EQ(locations.Status() == ERROR_SUCCESS, state.read.lastQuerySucceeds);
    EXPECT_EQ(locations.CurrentId(), state.read.currentId);
    EXPECT_EQ(locations.NumEntries(), state.read.numEntries);
    EXPECT_EQ(locations.LocationListVersion(), state.read.locationListVersion);
    EXPECT_EQ(locations.Key() != nullptr, !state.values.empty());
}

INSTANTIATE_TEST_SUITE_P(States, LocationsKeyReads, testing::ValuesIn(kKeyStates),
                         [](const testing::TestParamInfo<KeyState>& row) { return row.param.name; });

TEST(LocationsKeyDelete, RemovesOnlyTheNamedValueAndReportsAMissingOne)
{
    ScratchKey scratch("delete");
    ASSERT_EQ(registry::Seed(HKEY_LOCAL_MACHINE, {{scratch.Path(), {kCurrentId, kNumEntries, kVersion}}}),
              ERROR_SUCCESS);
    {
        LocationsKey locations;
        ASSERT_EQ(locations.OpenAndRead(scratch.Path().c_str()), ERROR_SUCCESS);
        EXPECT_EQ(locations.DeleteValue("NumEntries"), ERROR_SUCCESS);
        EXPECT_EQ(locations.Status(), ERROR_SUCCESS);
        EXPECT_EQ(locations.DeleteValue("NumEntries"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(locations.Status(), ERROR_FILE_NOT_FOUND);
    }
    registry::OwnedKey key;
    ASSERT_EQ(registry::Open(HKEY_LOCAL_MACHINE, scratch.Path(), KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(registry::Snapshot(key.Get()), (registry::Tree{{"", {kCurrentId, kVersion}}}));
}

TEST(LocationsKeyLifetime, DestructionClosesTheKey)
{
    ScratchKey scratch("lifetime");
    ASSERT_EQ(registry::Seed(HKEY_LOCAL_MACHINE, {{scratch.Path(), {kCurrentId}}}), ERROR_SUCCESS);
    const auto countValues = [](HKEY key) {
        DWORD values = 0;
        return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                                nullptr, nullptr);
    };
    HKEY handle = nullptr;
    {
        LocationsKey locations;
        ASSERT_EQ(locations.OpenAndRead(scratch.Path().c_str()), ERROR_SUCCESS);
        handle = locations.Key();
        ASSERT_EQ(countValues(handle), ERROR_SUCCESS);
    }
    EXPECT_EQ(countValues(handle), ERROR_INVALID_HANDLE);
}

}  // namespace
