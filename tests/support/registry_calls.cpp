#include "registry_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

namespace {

using Call = RegistryCall;
// An import slot holds a function's address as a number.
using Address = ULONG_PTR;
static_assert(sizeof(Address) == sizeof(IMAGE_THUNK_DATA));

struct Recording {
    std::vector<Call> calls;
    // The key of the latest successful open, until it is closed.
    HKEY opened = nullptr;
    // The real functions, while the recorder stands in for them.
    decltype(&RegOpenKeyExA) open = nullptr;
    decltype(&RegQueryValueExA) query = nullptr;
    decltype(&RegDeleteValueA) remove = nullptr;
    decltype(&RegCloseKey) close = nullptr;
    std::vector<std::pair<Address*, Address>> patchedSlots;
};
Recording recording;

Call::Key KindOf(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        return Call::Key::Machine;
    }
    return key != nullptr && key == recording.opened ? Call::Key::Opened : Call::Key::Other;
}

LSTATUS WINAPI Open(HKEY key, LPCSTR path, DWORD options, REGSAM access, PHKEY result)
{
    recording.calls.push_back({Call::Function::Open, KindOf(key), {}, access, options, 0});
    const LSTATUS status = recording.open(key, path, options, access, result);
    if (status == ERROR_SUCCESS) {
        recording.opened = *result;
    }
    return status;
}

LSTATUS WINAPI Query(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const DWORD capacity = size != nullptr ? *size : 0;
    recording.calls.push_back({Call::Function::Query, KindOf(key), name != nullptr ? name : "", 0, 0, capacity});
    const LSTATUS status = recording.query(key, name, reserved, type, data, size);
    if (status == ERROR_MORE_DATA && data != nullptr) {
        // *size now holds the size the data need.
        std::vector<BYTE> whole(*size);
        DWORD wholeSize = *size;
        if (recording.query(key, name, nullptr, nullptr, whole.data(), &wholeSize) == ERROR_SUCCESS) {
            std::memcpy(data, whole.data(), std::min(capacity, wholeSize));
        }
    }
    return status;
}

LSTATUS WINAPI Delete(HKEY key, LPCSTR name)
{
    recording.calls.push_back({Call::Function::Delete, KindOf(key), name != nullptr ? name : "", 0, 0, 0});
    return recording.remove(key, name);
}

LSTATUS WINAPI Close(HKEY key)
{
    recording.calls.push_back({Call::Function::Close, KindOf(key), {}, 0, 0, 0});
    if (key == recording.opened) {
        recording.opened = nullptr;
    }
    return recording.close(key);
}

// This program's import slot for a function of ADVAPI32, or null.
Address* ImportSlot(const char* function)
{
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name != 0; ++dll) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + dll->Name), "advapi32.dll") != 0) {
            continue;
        }
        // The name table stays as linked; the address table is what calls go through.
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<Address*>(&slot->u1.Function);
            }
        }
    }
    return nullptr;
}

Address Swap(Address* slot, Address function)
{
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    const Address previous = *slot;
    *slot = function;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return previous;
}

template <typename Function>
void StandIn(const char* name, Function replacement, Function& real)
{
    Address* slot = ImportSlot(name);
    if (slot == nullptr) {
        ADD_FAILURE() << name << " is not imported from ADVAPI32 by this program";
        return;
    }
    const Address previous = Swap(slot, reinterpret_cast<Address>(replacement));
    real = reinterpret_cast<Function>(previous);
    recording.patchedSlots.emplace_back(slot, previous);
}

}  // namespace

bool operator==(const RegistryCall& left, const RegistryCall& right)
{
    return std::tie(left.function, left.key, left.name, left.access, left.options, left.size) ==
           std::tie(right.function, right.key, right.name, right.access, right.options, right.size);
}

void PrintTo(const RegistryCall& call, std::ostream* out)
{
    static const char* const kFunctions[] = {"Open", "Query", "Delete", "Close"};
    static const char* const kKeys[] = {"HKLM", "opened key", "other key"};
    *out << kFunctions[static_cast<int>(call.function)] << "(" << kKeys[static_cast<int>(call.key)] << ", \""
         << call.name << "\", access 0x" << std::hex << call.access << std::dec << ", options " << call.options
         << ", size " << call.size << ")";
}

RegistryCallRecorder::RegistryCallRecorder()
{
    recording = Recording{};
    StandIn("RegOpenKeyExA", &Open, recording.open);
    StandIn("RegQueryValueExA", &Query, recording.query);
    StandIn("RegDeleteValueA", &Delete, recording.remove);
    StandIn("RegCloseKey", &Close, recording.close);
}

RegistryCallRecorder::~RegistryCallRecorder()
{
    for (const auto& [slot, original] : recording.patchedSlots) {
        Swap(slot, original);
    }
}

const std::vector<RegistryCall>& RegistryCallRecorder::Calls() const noexcept
{
    return recording.calls;
}
