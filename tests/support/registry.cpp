#include "registry.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <tuple>

namespace registry {

void OwnedKey::Reset() noexcept
{
    if (key_ != nullptr) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
}

bool operator==(const Value& left, const Value& right)
{
    return std::tie(left.name, left.type, left.data) == std::tie(right.name, right.type, right.data);
}

std::vector<BYTE> LittleEndian(DWORD data)
{
    return {BYTE(data), BYTE(data >> 8), BYTE(data >> 16), BYTE(data >> 24)};
}

Value Dword(const char* name, DWORD data)
{
    return Value{name, REG_DWORD, LittleEndian(data)};
}

Value Qword(const char* name, std::uint64_t data)
{
    std::vector<BYTE> bytes(sizeof data);
    std::memcpy(bytes.data(), &data, sizeof data);
    return Value{name, REG_QWORD, bytes};
}

Value String(const char* name, const char* text)
{
    const auto* first = reinterpret_cast<const BYTE*>(text);
    return Value{name, REG_SZ, {first, first + std::strlen(text) + 1}};
}

// Another test process may delete a shared parent key (a scratch key's, once
// it is empty) while this one is creating a key below it; the create then
// fails with ERROR_KEY_DELETED, and the next attempt makes the parent anew.
constexpr int kCreateAttempts = 5;

LSTATUS Create(HKEY root, const std::string& path, REGSAM access, OwnedKey& key)
{
    LSTATUS status = ERROR_KEY_DELETED;
    for (int attempt = 0; attempt < kCreateAttempts && status == ERROR_KEY_DELETED; ++attempt) {
        status = RegCreateKeyExA(root, path.c_str(), 0, kNoClass, kNoOptions, access, kDefaultSecurity, key.Put(),
                                 kNoDisposition);
    }
    return status;
}

LSTATUS Open(HKEY root, const std::string& path, REGSAM access, OwnedKey& key)
{
    return RegOpenKeyExA(root, path.c_str(), kNoOptions, access, key.Put());
}

LSTATUS Seed(HKEY key, const Tree& tree)
{
    for (const auto& [path, values] : tree) {
        OwnedKey subkey;
        if (LSTATUS status = Create(key, path, KEY_SET_VALUE, subkey); status != ERROR_SUCCESS) {
            return status;
        }
        for (const Value& value : values) {
            if (LSTATUS status = RegSetValueExA(subkey.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                                                static_cast<DWORD>(value.data.size()));
                status != ERROR_SUCCESS) {
                return status;
            }
        }
    }
    return ERROR_SUCCESS;
}

namespace {

void SnapshotInto(HKEY key, const std::string& path, Tree& tree)
{
    std::vector<Value>& values = tree[path];
    char name[16384];
    std::vector<BYTE> data(65536);
    for (DWORD index = 0;; ++index) {
        // Both sizes are in-out: reset them to the buffers' capacity each time.
        DWORD nameSize = sizeof name;
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        if (RegEnumValueA(key, index, name, &nameSize, kReserved, &type, data.data(), &dataSize) != ERROR_SUCCESS) {
            break;
        }
        values.push_back(Value{name, type, {data.begin(), data.begin() + static_cast<std::ptrdiff_t>(dataSize)}});
    }
    // Enumeration order is the registry's own; compare by name.
    std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) { return a.name < b.name; });
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name;
        if (RegEnumKeyExA(key, index, name, &nameSize, kReserved, kNoClass, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        OwnedKey subkey;
        const std::string subpath = path.empty() ? name : path + "\\" + name;
        if (Open(key, name, KEY_READ, subkey) == ERROR_SUCCESS) {
            SnapshotInto(subkey.Get(), subpath, tree);
        } else {
            tree[subpath + " (unreadable)"];
        }
    }
}

}  // namespace

Tree Snapshot(HKEY key)
{
    Tree tree;
    SnapshotInto(key, "", tree);
    return tree;
}

std::string Differences(const Tree& actual, const Tree& expected)
{
    std::string lines;
    const auto note = [&](const std::string& path, const std::string& what) {
        lines += (path.empty() ? std::string("(root)") : path) + ": " + what + "\n";
    };
    std::set<std::string> paths;
    for (const Tree* tree : {&actual, &expected}) {
        for (const auto& entry : *tree) {
            paths.insert(entry.first);
        }
    }
    for (const std::string& path : paths) {
        const auto found = actual.find(path);
        const auto wanted = expected.find(path);
        if (found == actual.end() || wanted == expected.end()) {
            note(path, found == actual.end() ? "key missing" : "key unexpected");
            continue;
        }
        for (const Value& value : wanted->second) {
            const auto same = std::find_if(found->second.begin(), found->second.end(),
                                           [&](const Value& other) { return other.name == value.name; });
            if (same == found->second.end()) {
                note(path, "value " + value.name + " missing");
            } else if (!(*same == value)) {
                note(path, "value " + value.name + " changed");
            }
        }
        for (const Value& value : found->second) {
            if (std::none_of(wanted->second.begin(), wanted->second.end(),
                             [&](const Value& other) { return other.name == value.name; })) {
                note(path, "value " + value.name + " unexpected");
            }
        }
    }
    return lines;
}

}  // namespace registry
