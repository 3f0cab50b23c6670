#pragma once
// Who may change a folder, judged from its owner and DACL in plain form (free of <windows.h>, so that it
// also builds natively). folder_security.h reads a real descriptor into this form.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calmlane {

// Access rights, with their values from winnt.h (folder_security.cpp checks them against the SDK's).
namespace access {
inline constexpr std::uint32_t AddFile = 0x00000002;          // FILE_ADD_FILE
inline constexpr std::uint32_t AddSubdirectory = 0x00000004;  // FILE_ADD_SUBDIRECTORY
inline constexpr std::uint32_t WriteEa = 0x00000010;          // FILE_WRITE_EA
inline constexpr std::uint32_t DeleteChild = 0x00000040;      // FILE_DELETE_CHILD
inline constexpr std::uint32_t WriteAttributes = 0x00000100;  // FILE_WRITE_ATTRIBUTES
inline constexpr std::uint32_t Delete = 0x00010000;           // DELETE
inline constexpr std::uint32_t WriteDac = 0x00040000;         // WRITE_DAC
inline constexpr std::uint32_t WriteOwner = 0x00080000;       // WRITE_OWNER
inline constexpr std::uint32_t GenericRead = 0x80000000;      // GENERIC_READ
inline constexpr std::uint32_t GenericWrite = 0x40000000;     // GENERIC_WRITE
inline constexpr std::uint32_t GenericExecute = 0x20000000;   // GENERIC_EXECUTE
inline constexpr std::uint32_t GenericAll = 0x10000000;       // GENERIC_ALL
inline constexpr std::uint32_t FileGenericRead = 0x00120089;     // FILE_GENERIC_READ
inline constexpr std::uint32_t FileGenericWrite = 0x00120116;    // FILE_GENERIC_WRITE
inline constexpr std::uint32_t FileGenericExecute = 0x001200A0;  // FILE_GENERIC_EXECUTE
inline constexpr std::uint32_t FileAllAccess = 0x001F01FF;       // FILE_ALL_ACCESS
}  // namespace access

// Rights that let a principal swap or re-point what an ancestor folder holds, or take the folder over.
// Below a drive root, DELETE as well (a root cannot be deleted).
inline constexpr std::uint32_t AncestorRights = access::DeleteChild | access::WriteDac | access::WriteOwner;
// Rights on the installation folder itself that only trusted principals may hold: writing anything into
// it, deleting it or what it holds, changing its permissions or owner.
inline constexpr std::uint32_t FolderRights = access::AddFile | access::AddSubdirectory | access::WriteEa |
                                              access::WriteAttributes | access::DeleteChild | access::Delete |
                                              access::WriteDac | access::WriteOwner;

// One entry of a DACL, as the verdict reads it. `principal` is the SID in string form ("S-1-5-18").
struct AccessEntry {
    bool allow;          // an allow entry (deny and audit entries never grant anything)
    bool inheritOnly;    // applies to children only, not to the folder itself
    std::uint32_t mask;  // as stored: generic rights not yet mapped
    std::wstring principal;
};

// True when the owner is SYSTEM, Administrators or TrustedInstaller and no allow entry that applies to
// the folder itself grants any of `rights` (generic rights mapped for files) to another principal.
// No DACL (nullopt) grants everyone everything.
bool onlyTrustedHold(const std::wstring& owner, const std::optional<std::vector<AccessEntry>>& dacl,
                     std::uint32_t rights);

}  // namespace calmlane
