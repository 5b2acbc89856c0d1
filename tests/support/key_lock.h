#pragma once

#include <string>
#include <vector>

#include "registry.h"

// A key under another DACL until this ends: it keeps a handle with the right
// to put the original back.
class KeyLock {
public:
    KeyLock() = default;
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;
    ~KeyLock() { Unlock(); }

    // A key of HKEY_LOCAL_MACHINE under a DACL in SDDL: empty, or the step that failed.
    std::string Lock(const char* path, const char* securityDescriptor);

    LSTATUS Unlock();

private:
    registry::OwnedKey guard_;
    std::vector<BYTE> original_;
};
