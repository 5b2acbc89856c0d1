#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Owns one key under HKEY_LOCAL_MACHINE that holds a telephony location
// list, reads the list's three 4-byte values and deletes values on request.
// Each open, query and delete leaves its status code behind for inspection.
class LocationsKey {
public:
    LocationsKey() noexcept = default;
    virtual ~LocationsKey();

    // The handle has one owner, for good: no copies, no moves.
    LocationsKey(const LocationsKey&) = delete;
    LocationsKey& operator=(const LocationsKey&) = delete;
    LocationsKey(LocationsKey&&) = delete;
    LocationsKey& operator=(LocationsKey&&) = delete;

    // Opens `path` and reads "CurrentID", "NumEntries" and "LocationListVersion".
    // Fails only when the key cannot be opened or "CurrentID" cannot be read;
    // the other two values are optional and stay 0 when unreadable.
    LSTATUS OpenAndRead(const char* path) noexcept;

    // Only meaningful after OpenAndRead has succeeded.
    LSTATUS DeleteValue(const char* name) noexcept;

    LSTATUS Status() const noexcept { return status; }
    HKEY Key() const noexcept { return key; }
    DWORD NumEntries() const noexcept { return numEntries; }
    DWORD LocationListVersion() const noexcept { return locationListVersion; }
    DWORD CurrentId() const noexcept { return currentId; }

private:
    LSTATUS QueryDword(const char* name, DWORD& field, LPDWORD valueType) noexcept;

    LSTATUS status = ERROR_SUCCESS;
    HKEY key = nullptr;
    DWORD numEntries = 0;
    DWORD locationListVersion = 0;
    DWORD currentId = 0;
};
