#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "support/registry.h"

// Registry states of the machine's location list, each with what one run of
// the program must make of it.
struct ListState {
    std::string name;
    // Relative to the Locations key; "" is the key itself.
    registry::Tree list;
    bool numEntriesGoes;
    std::wstring arguments;
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
