#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Small helpers over the real registry API for seeding and checking keys.
namespace registry {

constexpr DWORD kNoOptions = 0;
constexpr LPSTR kNoClass = nullptr;
constexpr LPSECURITY_ATTRIBUTES kDefaultSecurity = nullptr;
constexpr LPDWORD kReserved = nullptr;
constexpr LPDWORD kNoDisposition = nullptr;

class OwnedKey {
public:
    OwnedKey() noexcept = default;
    explicit OwnedKey(HKEY key) noexcept : key_(key) {}
    ~OwnedKey() { Reset(); }
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;

    HKEY Get() const noexcept { return key_; }
    HKEY* Put() noexcept
    {
        Reset();
        return &key_;
    }
    void Reset() noexcept;

private:
    HKEY key_ = nullptr;
};

struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};
bool operator==(const Value& left, const Value& right);

std::vector<BYTE> LittleEndian(DWORD data);
Value Dword(const char* name, DWORD data);
Value Qword(const char* name, std::uint64_t data);
Value String(const char* name, const char* text);

// A key's values and, by relative path, those of every key below it.
using Tree = std::map<std::string, std::vector<Value>>;

LSTATUS Create(HKEY root, const std::string& path, REGSAM access, OwnedKey& key);
LSTATUS Open(HKEY root, const std::string& path, REGSAM access, OwnedKey& key);
// Writes each path's values, creating the keys; "" is `key` itself.
LSTATUS Seed(HKEY key, const Tree& tree);
Tree Snapshot(HKEY key);
// One line for each key or value that is in one tree and not, or not alike,
// in the other; empty when the trees are the same.
std::string Differences(const Tree& actual, const Tree& expected);

}  // namespace registry
