#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "registry.h"

// One registry call made while a RegistryCallRecorder was alive.
struct RegistryCall {
    enum class Function { Open, Query, Delete, Close };
    // What the call was handed as its key.
    enum class Key { Machine, Opened, Other };

    Function function;
    Key key;
    // The value name of a query or a delete; empty otherwise.
    std::string name;
    // An open's access mask and options.
    REGSAM access = 0;
    DWORD options = 0;
    // The size word a query was handed.
    DWORD size = 0;
};
bool operator==(const RegistryCall& left, const RegistryCall& right);
void PrintTo(const RegistryCall& call, std::ostream* out);

// Stands between this test program and ADVAPI32 by rewriting the program's
// import table, for as long as it lives: every RegOpenKeyExA,
// RegQueryValueExA, RegDeleteValueA and RegCloseKey still reaches the real
// registry, and is recorded on the way.
//
// A query's data buffer is undefined after ERROR_MORE_DATA. The real registry
// may leave it untouched; this takes the worst case Windows allows, and fills
// it with the first bytes of the value's data.
class RegistryCallRecorder {
public:
    RegistryCallRecorder();
    ~RegistryCallRecorder();
    RegistryCallRecorder(const RegistryCallRecorder&) = delete;
    RegistryCallRecorder& operator=(const RegistryCallRecorder&) = delete;

    const std::vector<RegistryCall>& Calls() const noexcept;
};
