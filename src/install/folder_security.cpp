#include "install/folder_security.h"

#include <aclapi.h>
#include <sddl.h>

namespace calmlane {

// folder_verdict.h spells the rights without <windows.h>.
static_assert(access::AddFile == FILE_ADD_FILE && access::AddSubdirectory == FILE_ADD_SUBDIRECTORY &&
              access::WriteEa == FILE_WRITE_EA && access::DeleteChild == FILE_DELETE_CHILD &&
              access::WriteAttributes == FILE_WRITE_ATTRIBUTES && access::Delete == DELETE &&
              access::WriteDac == WRITE_DAC && access::WriteOwner == WRITE_OWNER);
static_assert(access::GenericRead == GENERIC_READ && access::GenericWrite == GENERIC_WRITE &&
              access::GenericExecute == GENERIC_EXECUTE && access::GenericAll == GENERIC_ALL);
static_assert(access::FileGenericRead == FILE_GENERIC_READ && access::FileGenericWrite == FILE_GENERIC_WRITE &&
              access::FileGenericExecute == FILE_GENERIC_EXECUTE && access::FileAllAccess == FILE_ALL_ACCESS);

namespace {

std::optional<std::wstring> sidText(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return std::nullopt;
    UniqueLocal owned(text);
    return std::wstring(text);
}

}  // namespace

namespace folder_security {

DWORD windowsAttributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

UniqueLocal windowsDescriptor(const std::wstring& path, HANDLE opened) {
    constexpr SECURITY_INFORMATION What = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = opened != nullptr
                           ? GetSecurityInfo(opened, SE_FILE_OBJECT, What, nullptr, nullptr, nullptr, nullptr, &descriptor)
                           : GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, What, nullptr, nullptr, nullptr,
                                                   nullptr, &descriptor);
    UniqueLocal owned(descriptor);
    if (read != ERROR_SUCCESS) owned.reset();
    return owned;
}

DWORD windowsSecure(HANDLE opened, PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        return GetLastError();
    }
    // A missing owner would be left as it is, and a missing DACL would open the folder to everyone.
    if (owner == nullptr || !present || dacl == nullptr) return ERROR_INVALID_SECURITY_DESCR;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if ((control & SE_DACL_PROTECTED) != 0) what |= PROTECTED_DACL_SECURITY_INFORMATION;
    return SetSecurityInfo(opened, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr);
}

}  // namespace folder_security

bool descriptorTrusted(PSECURITY_DESCRIPTOR descriptor, DWORD rights) {
    PSID ownerSid = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &ownerSid, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
        return false;
    }
    const std::optional<std::wstring> owner = sidText(ownerSid);
    if (!owner) return false;
    std::optional<std::vector<AccessEntry>> dacl;
    if (present && acl != nullptr) {
        dacl.emplace();
        for (DWORD index = 0; index < acl->AceCount; ++index) {
            void* ace = nullptr;
            if (!GetAce(acl, index, &ace)) return false;
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            // The allow forms that name their principal right after the mask are judged, deny entries only
            // take rights away and are passed over; any other type (object and compound entries, which do
            // not occur on files) is refused rather than guessed at.
            const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                               header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
            const bool deny = header->AceType == ACCESS_DENIED_ACE_TYPE ||
                              header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
                              header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
                              header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
            if (!allow && !deny) return false;
            const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            std::wstring principal;
            if (allow) {
                const std::optional<std::wstring> sid = sidText(const_cast<DWORD*>(&entry->SidStart));
                if (!sid) return false;
                principal = *sid;
            }
            dacl->push_back({allow, (header->AceFlags & INHERIT_ONLY_ACE) != 0, entry->Mask, principal});
        }
    }
    return onlyTrustedHold(*owner, dacl, rights);
}

}  // namespace calmlane
