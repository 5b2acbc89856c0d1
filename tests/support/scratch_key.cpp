#include "scratch_key.h"

namespace {

constexpr char kParent[] = "SOFTWARE\\loclistfix-tests";

}  // namespace

ScratchKey::ScratchKey(const std::string& name)
    : path_(std::string(kParent) + "\\" + name + "-" + std::to_string(GetCurrentProcessId()))
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
}

ScratchKey::~ScratchKey()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
    // Fails, as it should, while another test still has a key under it.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParent);
}
