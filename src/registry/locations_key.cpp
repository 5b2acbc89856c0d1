#include "locations_key.h"

namespace {

constexpr DWORD kDefaultOpenOptions = 0;
constexpr REGSAM kReadAndWrite = KEY_WRITE | KEY_QUERY_VALUE;
constexpr LPDWORD kReserved = nullptr;

}  // namespace

LocationsKey::~LocationsKey()
{
    if (key != nullptr) {
        RegCloseKey(key);
    }
}

LSTATUS LocationsKey::OpenAndRead(const char* path) noexcept
{
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, kDefaultOpenOptions, kReadAndWrite, &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }

    // Shared by all three queries and never examined: whatever the type,
    // data of up to 4 bytes are taken as they are.
    DWORD valueType = REG_NONE;
    if (QueryDword("CurrentID", currentId, &valueType) != ERROR_SUCCESS) {
        return status;
    }
    QueryDword("NumEntries", numEntries, &valueType);
    QueryDword("LocationListVersion", locationListVersion, &valueType);
    return ERROR_SUCCESS;
}

LSTATUS LocationsKey::QueryDword(const char* name, DWORD& field, LPDWORD valueType) noexcept
{
    // The query reports the value's real size back through `size`, so each
    // query starts again from the size of one word. Data shorter than a word
    // land in the low-order bytes and the rest keeps its zero.
    DWORD data = 0;
    DWORD size = sizeof data;
    status = RegQueryValueExA(key, name, kReserved, valueType, reinterpret_cast<BYTE*>(&data), &size);
    // After a failed query the buffer's contents are undefined (ERROR_MORE_DATA
    // in particular may leave part of the data behind), so only a successful
    // query reaches the field.
    if (status == ERROR_SUCCESS) {
        field = data;
    }
    return status;
}

LSTATUS LocationsKey::DeleteValue(const char* name) noexcept
{
    status = RegDeleteValueA(key, name);
    return status;
}
