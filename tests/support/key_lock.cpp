#include "key_lock.h"  // windows.h, which sddl.h needs first

#include <sddl.h>

std::string KeyLock::Lock(const char* path, const char* securityDescriptor)
{
    if (registry::Open(HKEY_LOCAL_MACHINE, path, READ_CONTROL | WRITE_DAC, guard_) != ERROR_SUCCESS) {
        return "opening the key to change its DACL";
    }
    original_.resize(4096);
    auto size = static_cast<DWORD>(original_.size());
    if (RegGetKeySecurity(guard_.Get(), DACL_SECURITY_INFORMATION, original_.data(), &size) != ERROR_SUCCESS) {
        original_.clear();
        return "reading the key's DACL";
    }
    PSECURITY_DESCRIPTOR locked = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(securityDescriptor, SDDL_REVISION_1, &locked, nullptr)) {
        return "converting the security descriptor";
    }
    const LSTATUS status = RegSetKeySecurity(guard_.Get(), DACL_SECURITY_INFORMATION, locked);
    LocalFree(locked);
    return status == ERROR_SUCCESS ? "" : "setting the key's DACL";
}

LSTATUS KeyLock::Unlock()
{
    if (original_.empty()) {
        return ERROR_SUCCESS;
    }
    const LSTATUS status = RegSetKeySecurity(guard_.Get(), DACL_SECURITY_INFORMATION, original_.data());
    original_.clear();
    return status;
}
