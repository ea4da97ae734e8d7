#include "tarnbeam/retrieval/folder_security.h"

#include <aclapi.h>
#include <sddl.h>

#include "tarnbeam/app/win_handles.h"

namespace {

// Rights that let their holder change what the folder holds or who may: the generic ones and
// the file-specific ones they stand for.
const ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                    WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
const wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsWellKnownSid(sid, type) != FALSE;
}

bool IsTrustedInstaller(PSID sid) {
    PSID installer = nullptr;
    if (!ConvertStringSidToSidW(kTrustedInstallerSid, &installer))
        return false;
    LocalMemory owned(installer);
    return EqualSid(sid, installer) != FALSE;
}

bool IsTrustedAccount(PSID sid, PSID user) {
    return sid && IsValidSid(sid) &&
           (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
            IsTrustedInstaller(sid) || (user && EqualSid(sid, user)));
}

// The SID of an allowing entry, or null for entry types that carry it elsewhere (they are then
// judged by their rights alone).
PSID AllowedSid(ACE_HEADER *header) {
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
        return &reinterpret_cast<ACCESS_ALLOWED_ACE *>(header)->SidStart;
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        return &reinterpret_cast<ACCESS_ALLOWED_CALLBACK_ACE *>(header)->SidStart;
    default:
        return nullptr;
    }
}

bool IsAllowing(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
           type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
}

} // namespace

std::vector<BYTE> CurrentUserSid() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return {};
    PSID sid = reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid;
    std::vector<BYTE> copy(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid))
        return {};
    return copy;
}

bool DescriptorIsPrivate(PSECURITY_DESCRIPTOR descriptor, PSID user) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !IsTrustedAccount(owner, user))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false; // no access list lets everybody do everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header)))
            return false;
        if (!IsAllowing(header->AceType) || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const ACCESS_MASK rights = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header)->Mask;
        if ((rights & kChangingRights) && !IsTrustedAccount(AllowedSid(header), user))
            return false;
    }
    return true;
}

bool FolderIsPrivate(const std::wstring &path, PSID user) {
    KernelHandle folder(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    LocalMemory owned(descriptor);
    return DescriptorIsPrivate(descriptor, user);
}

DWORD CreatePrivateFolder(const std::wstring &path, PSID user) {
    wchar_t *userText = nullptr;
    if (!user || !ConvertSidToStringSidW(user, &userText))
        return ERROR_INVALID_SID;
    LocalMemory ownedText(userText);
    const std::wstring sddl =
        std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + userText + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    LocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
}
