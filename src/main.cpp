#include <cstddef>
#include <cstring>

#include "registry/locations_key.h"

namespace {

constexpr char kLocationsPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
constexpr char kNumEntries[] = "NumEntries";
constexpr DWORD kVersionWhoseCountGoes = 2;
constexpr int kExitStatus = 0;
constexpr std::size_t kNameBufferSize = 128;

template <std::size_t N>
const char* CopyName(char (&buffer)[kNameBufferSize], const char (&name)[N]) noexcept
{
    static_assert(N <= kNameBufferSize, "name does not fit the name buffer");
    std::memcpy(buffer, name, N);
    return buffer;
}

}  // namespace

int main(int /*argumentCount*/, char* /*arguments*/[], char* /*environment*/[])
{
    LocationsKey locations;
    char nameBuffer[kNameBufferSize];
    locations.OpenAndRead(CopyName(nameBuffer, kLocationsPath));
    if (locations.LocationListVersion() == kVersionWhoseCountGoes) {
        locations.DeleteValue(CopyName(nameBuffer, kNumEntries));
    }
    return kExitStatus;
}
