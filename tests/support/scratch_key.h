#pragma once

#include <string>

#include "registry.h"

// A key of the test's own under HKLM\SOFTWARE, named after the test and the
// process so that tests can run side by side; removed with all it holds.
class ScratchKey {
public:
    explicit ScratchKey(const std::string& name);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // Relative to HKEY_LOCAL_MACHINE.
    const std::string& Path() const noexcept { return path_; }

private:
    std::string path_;
};
