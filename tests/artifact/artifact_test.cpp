#include <gtest/gtest.h>

#include "support/registry.h"  // windows.h, which winver.h needs first

#include <winver.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "support/program_run.h"
#include "version.h"

// The shipped executable as Windows sees it: its resources read through the
// loader and the version API, its PE header read from the file.

namespace {

constexpr HANDLE kNoFileHandle = nullptr;
constexpr DWORD kIgnoredHandle = 0;

std::string Lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string Manifest()
{
    HMODULE image = LoadLibraryExA(LoclistfixPath().c_str(), kNoFileHandle,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        return {};
    }
    std::string text;
    if (HRSRC found = FindResourceA(image, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST)) {
        const auto* data = static_cast<const char*>(LockResource(LoadResource(image, found)));
        text.assign(data, SizeofResource(image, found));
    }
    FreeLibrary(image);
    return text;
}

TEST(Artifact, ManifestRunsAsInvokerOnEveryWindowsFromVista)
{
    const std::string manifest = Manifest();
    for (const char* expected : {
             R"(level="asInvoker")", R"(uiAccess="false")",
             "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
         }) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
}

TEST(Artifact, VersionResourceNamesTheProductAndItsVersion)
{
    const std::string path = LoclistfixPath();
    DWORD ignored = kIgnoredHandle;
    std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), kIgnoredHandle, static_cast<DWORD>(info.size()), info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD(LOCLISTFIX_VERSION_MAJOR << 16 | LOCLISTFIX_VERSION_MINOR));
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD(LOCLISTFIX_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));

    const struct {
        const char* name;
        const char* value;
    } strings[] = {
        {"FileVersion", LOCLISTFIX_VERSION_TEXT},
        {"ProductVersion", LOCLISTFIX_VERSION_TEXT},
        {"ProductName", "loclistfix"},
        {"InternalName", "loclistfix"},
        {"OriginalFilename", "loclistfix.exe"},
        {"FileDescription", LOCLISTFIX_DESCRIPTION},
    };
    for (const auto& expected : strings) {
        char* value = nullptr;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + expected.name;
        ASSERT_TRUE(VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &size))
            << expected.name;
        EXPECT_STREQ(value, expected.value) << expected.name;
    }
}

// Where this host cannot run the executable's architecture, these checks are
// built for one it can, so the architecture expected is the build's word, not
// this program's own.
constexpr bool kProgramIs64Bit = LOCLISTFIX_PROGRAM_IS_64_BIT;

// The PE32 and PE32+ optional headers agree up to the stack sizes; the data
// directories come after those, at offsets of their own.
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) == offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem));
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, DllCharacteristics) ==
              offsetof(IMAGE_OPTIONAL_HEADER64, DllCharacteristics));

// The executable's file, with what its PE header says.
struct PeFile {
    std::vector<char> bytes;
    const IMAGE_FILE_HEADER* file = nullptr;
    const IMAGE_OPTIONAL_HEADER32* optional = nullptr;

    explicit PeFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
            return;
        }
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        file = At<IMAGE_FILE_HEADER>(DWORD(dos->e_lfanew) + sizeof(DWORD));
        optional = reinterpret_cast<const IMAGE_OPTIONAL_HEADER32*>(file + 1);
    }

    template <typename T>
    const T* At(DWORD offset) const
    {
        return reinterpret_cast<const T*>(bytes.data() + offset);
    }

    bool IsPe32Plus() const { return optional->Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC; }
    WORD Characteristics() const { return optional->DllCharacteristics; }

    DWORD ImportTable() const
    {
        const IMAGE_DATA_DIRECTORY* directories =
            IsPe32Plus() ? reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(optional)->DataDirectory
                         : optional->DataDirectory;
        return directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    }

    DWORD OffsetOf(DWORD rva) const
    {
        const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(reinterpret_cast<const char*>(optional) +
                                                                             file->SizeOfOptionalHeader);
        for (WORD i = 0; i < file->NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& section = sections[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        return 0;
    }

    std::set<std::string> ImportedDlls() const
    {
        std::set<std::string> names;
        DWORD offset = OffsetOf(ImportTable());
        for (const auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(offset); offset != 0 && entry->Name != 0; ++entry) {
            names.insert(Lowercase(At<char>(OffsetOf(entry->Name))));
        }
        return names;
    }
};

TEST(Artifact, PeHeaderIsAHardenedReproducibleConsoleProgram)
{
    const PeFile pe(LoclistfixPath());
    ASSERT_NE(pe.file, nullptr);
    ASSERT_EQ(pe.IsPe32Plus(), kProgramIs64Bit);
    EXPECT_EQ(pe.file->Machine, kProgramIs64Bit ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(pe.optional->Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    // A link time stamp would make every build of the same sources differ.
    EXPECT_EQ(pe.file->TimeDateStamp, 0u);

    const struct {
        const char* name;
        WORD flag;
        bool wanted;
    } flags[] = {
        {"DYNAMIC_BASE", IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, true},
        {"NX_COMPAT", IMAGE_DLLCHARACTERISTICS_NX_COMPAT, true},
        {"TERMINAL_SERVER_AWARE", IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, true},
        {"HIGH_ENTROPY_VA", IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, kProgramIs64Bit},
    };
    for (const auto& flag : flags) {
        EXPECT_EQ((pe.Characteristics() & flag.flag) != 0, flag.wanted) << flag.name;
    }
}

TEST(Artifact, ImportsOnlySystemDlls)
{
    // Visual C++ links its runtime in whole; MinGW-w64 leans on the system's msvcrt.
#ifdef _MSC_VER
    const std::set<std::string> expected{"advapi32.dll", "kernel32.dll"};
#else
    const std::set<std::string> expected{"advapi32.dll", "kernel32.dll", "msvcrt.dll"};
#endif
    EXPECT_EQ(PeFile(LoclistfixPath()).ImportedDlls(), expected);
}

}  // namespace
