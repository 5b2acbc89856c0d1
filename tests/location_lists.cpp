#include "location_lists.h"

#include <algorithm>
#include <optional>

#include "support/program_run.h"

namespace {

using registry::Dword;
using registry::LittleEndian;
using registry::String;
using registry::Tree;
using registry::Value;

const Value kCurrentId = Dword("CurrentID", 1);
const Value kNumEntries = Dword("NumEntries", 2);
const Value kVersionTwo = Dword("LocationListVersion", 2);

// A location list with the list values in `head`, among unrelated values and
// `locations` location subkeys, one of them with values named like the list's.
Tree LocationList(std::vector<Value> head, int locations = 2)
{
    head.push_back(Dword("NextID", DWORD(locations + 1)));
    head.push_back(Dword("DisableCallWaiting", 0));
    head.push_back(String("Comment", "seeded by the tests"));
    head.push_back(Value{"Extra", REG_BINARY, {0x02, 0x00, 0x00, 0x00}});
    Tree tree{{"", head}};
    tree["Location1"] = {
        Dword("ID", 1),    String("Name", "Office"), String("AreaCode", "206"),      Dword("Country", 1),
        Dword("Flags", 1), Dword("NumEntries", 5),   Dword("LocationListVersion", 2)};
    for (int id = 2; id <= locations; ++id) {
        tree["Location" + std::to_string(id)] = {Dword("ID", DWORD(id)), String("Name", "Branch"),
                                                 String("AreaCode", "425"), Dword("Country", 1)};
    }
    return tree;
}

// What the administrators' checks cannot learn of a value as
// LocationListVersion, so that they answer "could not read" for it: the code
// of a string's one character, its data (the byte order of a big-endian word,
// which PowerShell cannot tell from REG_NONE), or even its size.
enum class Unshown { kNothing, kCharacter, kData, kSize };

// Data of one type and size, and what a 4-byte query of it yields: the data
// zero-extended, or nothing when they do not fit.
struct Variant {
    std::string label;
    DWORD type;
    std::vector<BYTE> data;
    std::optional<DWORD> readsAs;
    Unshown unshown = Unshown::kNothing;
};

// Strings are written and read through the narrow API, as ANSI bytes with their NULs.
std::vector<Variant> Variants()
{
    std::vector<Variant> variants = {
        {"Dword1", REG_DWORD, LittleEndian(1), 1},
        {"Dword2", REG_DWORD, LittleEndian(2), 2},
        {"Dword3", REG_DWORD, LittleEndian(3), 3},
        {"Dword0x102", REG_DWORD, LittleEndian(0x102), 0x102},
        {"Dword0x10002", REG_DWORD, LittleEndian(0x10002), 0x10002},
        {"DwordAllOnes", REG_DWORD, LittleEndian(0xFFFFFFFF), 0xFFFFFFFF},
        {"DwordEmpty", REG_DWORD, {}, 0},
        {"BigEndian2", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}, 0x02000000, Unshown::kData},
        {"BigEndianBytes0200", REG_DWORD_BIG_ENDIAN, {2, 0, 0, 0}, 2, Unshown::kData},
        {"Qword2", REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
        {"NoneByte2", REG_NONE, {2}, 2, Unshown::kData},
        {"NoneEmpty", REG_NONE, {}, 0, Unshown::kData},
        {"StringDigit2", REG_SZ, {'2', 0}, 0x32},
        {"StringByte2", REG_SZ, {2, 0}, 2, Unshown::kCharacter},
        {"StringEmpty", REG_SZ, {0}, 0},
        {"StringQuoteAmpersandCaret", REG_SZ, {'"', '&', '^', 0}, 0x5E2622},
        {"StringOfFourDigits", REG_SZ, {'1', '2', '3', '4', 0}, std::nullopt},
        {"StringQuoteThenCommand", REG_SZ, {'"', '&', 'e', 'x', 'i', 't', ' ', '7', '&', '"', 0}, std::nullopt},
        {"ExpandDigit2", REG_EXPAND_SZ, {'2', 0}, 0x32},
        {"ExpandByte2", REG_EXPAND_SZ, {2, 0}, 2, Unshown::kCharacter},
        {"ExpandOfThreeCharacters", REG_EXPAND_SZ, {'%', 'a', '%', 0}, 0x00256125},
        {"ExpandOfFourCharacters", REG_EXPAND_SZ, {'%', 'a', 'b', '%', 0}, std::nullopt},
        {"MultiDigit2", REG_MULTI_SZ, {'2', 0, 0}, 0x32, Unshown::kSize},
        {"MultiByte2", REG_MULTI_SZ, {2, 0, 0}, 2, Unshown::kSize},
        {"MultiTwoStrings", REG_MULTI_SZ, {'1', 0, '2', 0, 0}, std::nullopt, Unshown::kSize},
        {"LinkBytes2", REG_LINK, {2, 0}, 2, Unshown::kSize},
        {"ResourceListBytes2", REG_RESOURCE_LIST, {2, 0}, 2, Unshown::kSize},
        // reg's line for it passes the 8,191 characters that cmd reads.
        {"Binary5000", REG_BINARY, std::vector<BYTE>(5000, 0x0A), std::nullopt},
    };
    const std::vector<BYTE> two = {2, 0, 0, 0, 0, 0, 0, 0};
    for (std::size_t size = 0; size <= two.size(); ++size) {
        const std::optional<DWORD> readsAs = size > 4 ? std::nullopt : std::optional<DWORD>(size == 0 ? 0 : 2);
        variants.push_back({"Binary" + std::to_string(size),
                            REG_BINARY,
                            {two.begin(), two.begin() + static_cast<std::ptrdiff_t>(size)},
                            readsAs});
    }
    return variants;
}

std::wstring ManyArguments()
{
    std::wstring arguments;
    for (int i = 0; i < 50; ++i) {
        arguments += L"/? --help -v NumEntries \"two words\" ";
    }
    return arguments;
}

std::wstring LongestArgumentString()
{
    std::wstring arguments;
    while (arguments.size() + 10 <= LongestArguments()) {
        arguments += L"/argument ";
    }
    return arguments + std::wstring(LongestArguments() - arguments.size(), L'x');
}

}  // namespace

Tree VersionTwoList()
{
    return LocationList({kCurrentId, kNumEntries, kVersionTwo});
}

std::vector<ListState> ListStates()
{
    const std::string notApplicable = "not applicable: ";
    const std::string notVersionTwo = notApplicable + "the location list is not at version 2";
    const std::string leftAlone =
        notApplicable + "a version-2 list without a readable CurrentID, which loclistfix leaves alone";
    const std::string present = "NumEntries still present: REG_DWORD 0x00000002";
    const auto presentAs = [](const char* record) { return "NumEntries still present: " + std::string(record); };
    const auto withNumEntries = [](Value numEntries) { return LocationList({kCurrentId, numEntries, kVersionTwo}); };
    const std::string unreadableType = ": a type this check does not read";
    const Tree versionOne = LocationList({kCurrentId, kNumEntries, Dword("LocationListVersion", 1)});
    // Deployment tools unpack into folders such as this one.
    const wchar_t* const awkwardFolder = L"C:\\Program Files (x86)\\a&b ^c (d)";
    std::vector<ListState> states = {
        {"NoList", std::nullopt, false, notApplicable + "no location list"},
        {"VersionOne", versionOne, false, notVersionTwo},
        {"VersionTwoWithNumEntries", VersionTwoList(), true, present, 1},
        {"VersionTwoWithoutNumEntries", LocationList({kCurrentId, kVersionTwo}), false, "NumEntries gone"},
        {"VersionTwoWithoutCurrentId", LocationList({kNumEntries, kVersionTwo}), false, leftAlone},
        {"NamesLikeNumEntriesWithoutIt", LocationList({kCurrentId, kVersionTwo, String("NumEntries old", "3")}), false,
         "NumEntries gone"},
        {"NamesLikeCurrentIdBesideIt",
         LocationList({kCurrentId, String("CurrentID backup", "x"), Dword("CurrentIDs", 1), kNumEntries, kVersionTwo}),
         true, present, 1},
        {"NamesLikeVersionWithoutIt",
         LocationList(
             {kCurrentId, kNumEntries, String("LocationListVersion 2", "2"), Dword("LocationListVersion2", 2)}),
         false, notVersionTwo},
        {"UnreadableList", VersionTwoList(), false, "could not read the location list", 2, {}, "D:P"},
        // The list can be read but NumEntries not deleted.
        {"DeleteDenied", VersionTwoList(), false, present, 1, {}, "D:P(A;;KR;;;WD)"},
        // The record, as reg add takes it back; never a string's data, which
        // would run as a command here.
        {"NumEntriesAllOnes", withNumEntries(Dword("NumEntries", 0xFFFFFFFF)), true, presentAs("REG_DWORD 0xFFFFFFFF"),
         1},
        {"NumEntriesOfSeventeenBytes",
         withNumEntries(Value{"NumEntries", REG_BINARY, {0xAB, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}),
         true, presentAs("REG_BINARY AB0102030405060708090A0B0C0D0E0F..."), 1},
        {"NumEntriesOf5000Bytes", withNumEntries(Value{"NumEntries", REG_BINARY, std::vector<BYTE>(5000, 0x0A)}), true,
         presentAs("data too long to record"), 1},
        {"NumEntriesStringWithCommand", withNumEntries(String("NumEntries", "\"&exit 7&\"")), true,
         presentAs("REG_SZ (data not recorded)"), 1},
        {"NumEntriesBigEndian", withNumEntries(Value{"NumEntries", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}}), true,
         presentAs("an unrecorded type"), 1},
        {"AwkwardFolderWithNumEntries", VersionTwoList(), true, present, 1, {}, nullptr, awkwardFolder},
        {"AwkwardFolderWow64Cmd", VersionTwoList(), true, present, 1, {}, nullptr, awkwardFolder, true},
        // The program alone.
        {"VersionAbsent", LocationList({kCurrentId, kNumEntries}), false},
        {"NoListValues", LocationList({}), false},
        {"ThousandLocations", LocationList({kCurrentId, kNumEntries, kVersionTwo}, 1000), true},
        {"ManyArguments", VersionTwoList(), true, "", 0, ManyArguments()},
        {"ManyArgumentsOnVersionOne", versionOne, false, "", 0, ManyArguments()},
        {"LongestArguments", VersionTwoList(), true, "", 0, LongestArgumentString()},
        {"NonAsciiArguments", VersionTwoList(), true, "", 0, L"\u00e9t\u00e9 \u65e5\u672c\u8a9e \u0416 \U0001F4DE"},
    };
    // Every type and size, as CurrentID, NumEntries and LocationListVersion,
    // but for a list that a row above already has. The check answers as the
    // program acts, or "could not read" where reg does not show what the
    // program reads. How the check reads a value does not depend on the cmd
    // that runs it, and each check starts some twenty processes, minutes of
    // them where 32-bit programs are emulated: the 64-bit build's tests alone
    // run the check in these states, while the rows above run it from either.
    const auto add = [&](std::string name, Tree list, bool goes, std::string answer, DWORD exitStatus) {
        if (std::none_of(states.begin(), states.end(), [&](const ListState& row) {
                return row.list == list && row.arguments.empty() && row.securityDescriptor == nullptr;
            })) {
            states.push_back({std::move(name), std::move(list), goes, sizeof(void*) == 8 ? answer : "", exitStatus});
        }
    };
    for (const Variant& variant : Variants()) {
        const auto as = [&](const char* name) { return Value{name, variant.type, variant.data}; };
        const bool read = variant.readsAs.has_value();
        if (variant.unshown == Unshown::kSize) {
            add("CurrentID_" + variant.label, LocationList({as("CurrentID"), kNumEntries, kVersionTwo}), read,
                "could not read CurrentID" + unreadableType, 2);
        } else {
            add("CurrentID_" + variant.label, LocationList({as("CurrentID"), kNumEntries, kVersionTwo}), read,
                read ? present : leftAlone, read ? 1 : 0);
        }
        add("NumEntries_" + variant.label, withNumEntries(as("NumEntries")), true, "", 0);
        const Tree list = LocationList({kCurrentId, kNumEntries, as("LocationListVersion")});
        const bool two = variant.readsAs == DWORD(2);
        if (variant.unshown == Unshown::kCharacter) {
            add("Version_" + variant.label, list, two,
                "could not read LocationListVersion: a one-character string other than a digit", 2);
        } else if (variant.unshown != Unshown::kNothing) {
            add("Version_" + variant.label, list, two, "could not read LocationListVersion" + unreadableType, 2);
        } else {
            add("Version_" + variant.label, list, two, two ? present : notVersionTwo, two ? 1 : 0);
        }
    }
    return states;
}
