#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/registry.h"

// Registry states of the machine's location list, each with what a run of
// the program must make of it and, where the tests run the administrators'
// check, deploy/check.cmd, in it, the one line the check prints and its exit
// status. Where NumEntries is still present the line carries its record: its
// type and data as reg add takes them back.
struct ListState {
    std::string name;
    // Relative to the Locations key; "" is the key itself. None: no Locations
    // key at all.
    std::optional<registry::Tree> list;
    bool numEntriesGoes;
    // The check's answer before the program runs; "" where it is not run.
    std::string answer{};
    DWORD exitStatus = 0;
    std::wstring arguments{};
    // The key's DACL in SDDL, or nullptr to keep the one it has.
    const char* securityDescriptor = nullptr;
    // A folder to run a copy of the check from, or nullptr for the source tree.
    const wchar_t* folder = nullptr;
    // Run by the 32-bit cmd of 64-bit Windows rather than this program's own.
    bool wow64Cmd = false;
};

// Names the row, not its bytes, when a test of it fails.
inline void PrintTo(const ListState& state, std::ostream* out)
{
    *out << state.name;
}

// "CurrentID" 1, "NumEntries" 2 and "LocationListVersion" 2, among other
// values and two location subkeys.
registry::Tree VersionTwoList();

std::vector<ListState> ListStates();
