// Catches a download folder accepted although another account owns it or may change it (write,
// add or delete children, delete it, change its permissions or owner), and a private folder
// refused because of access that only its children inherit or that only denies.
#include "tarnbeam/retrieval/folder_security.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "tarnbeam/app/win_handles.h"

namespace {

const wchar_t kUser[] = L"S-1-5-21-1111-2222-3333-1001";
const wchar_t kOtherUser[] = L"S-1-5-21-1111-2222-3333-1002";

bool Private(const std::wstring &sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID user = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << sddl;
    EXPECT_TRUE(ConvertStringSidToSidW(kUser, &user));
    LocalMemory ownedDescriptor(descriptor), ownedUser(user);
    return DescriptorIsPrivate(descriptor, user);
}

std::wstring Owner(const wchar_t *sid) {
    return std::wstring(L"O:") + sid;
}

const std::wstring kProtected =
    std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + kUser + L")";

} // namespace

TEST(FolderSecurity, OwnedByTheSystemTheAdministratorsOrThisUserAndChangedByNobodyElse) {
    for (const wchar_t *owner :
         {L"SY", L"BA", kUser, L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"})
        EXPECT_TRUE(Private(Owner(owner) + kProtected)) << owner;
    // Reading is anybody's; what only children inherit, or what is denied, changes nothing here.
    EXPECT_TRUE(Private(L"O:BAD:(A;;FA;;;SY)(A;;FR;;;BU)(A;OICIIO;FA;;;CO)(D;;FA;;;WD)(A;;0x1200a9;;;WD)"));
}

TEST(FolderSecurity, AnotherOwnerOrAnotherAccountThatMayChangeItIsRefused) {
    EXPECT_FALSE(Private(Owner(kOtherUser) + kProtected));
    EXPECT_FALSE(Private(L"O:WD" + kProtected));
    EXPECT_FALSE(Private(L"O:BA")) << "no access list";
    // A present but null access list lets everybody do everything.
    SECURITY_DESCRIPTOR open = {};
    PSID user = nullptr;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(ConvertStringSidToSidW(kUser, &user));
    LocalMemory ownedUser(user);
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, user, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_FALSE(DescriptorIsPrivate(&open, user));
    struct Grant {
        const wchar_t *ace;
        const char *what;
    } grants[] = {
        {L"(A;;FW;;;WD)", "Everyone may write"},
        {L"(A;;0x2;;;BU)", "Users may add files (ProgramData's own default)"},
        {L"(A;;0x4;;;BU)", "Users may add folders"},
        {L"(A;;0x40;;;AU)", "authenticated users may delete children"},
        {L"(A;;SD;;;WD)", "Everyone may delete the folder"},
        {L"(A;;WD;;;S-1-5-21-1111-2222-3333-1002)", "another user may change its permissions"},
        {L"(A;;WO;;;S-1-5-21-1111-2222-3333-1002)", "another user may take it"},
        {L"(A;;GA;;;S-1-5-21-1111-2222-3333-1002)", "another user may do everything"},
        {L"(A;CI;GW;;;BU)", "inherited by subfolders, and applied here too"},
    };
    for (const Grant &g : grants)
        EXPECT_FALSE(Private(L"O:BAD:P(A;;FA;;;SY)" + std::wstring(g.ace))) << g.what;
}
