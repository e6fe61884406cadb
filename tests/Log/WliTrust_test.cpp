// Whether SYSTEM follows a parameter file: the rule over the descriptors that
// deployments really have, as SDDL (Wine keeps no DACL set on a file, so the
// rule is checked as data).
#include <gtest/gtest.h>

#include "Log/WliTrust.h"
#include "io/security.h"

namespace {

const std::wstring kTi = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::wstring kUser = L"S-1-5-21-1-2-3-1001";

struct SdCase {
    const char* name;
    std::wstring sddl;
    bool folder;
    bool others_may_write;
};

TEST(WliTrust, WhoMayWrite) {
    const SdCase cases[] = {
        // A folder made under ProgramData: Users may add files and folders.
        {"programdata_subfolder",
         L"O:BAG:SYD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
         L"(A;CIID;0x116;;;BU)",
         true, true},
        {"imecache", L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, false},
        // Users read and run; what they may do to children is inherit-only.
        {"program_files_subfolder",
         L"O:" + kTi + L"G:SYD:AI(A;ID;FA;;;" + kTi + L")(A;CIIOID;GA;;;" + kTi +
             L")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
             L"(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;AC)(A;OICIIOID;GXGR;;;AC)",
         true, false},
        {"everyone_may_write", L"O:BAG:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;WD)", true, true},
        {"users_may_delete_children", L"O:BAG:SYD:(A;;FA;;;SY)(A;;0x1200e9;;;BU)", true, true},
        {"file_with_users_write", L"O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;;FW;;;BU)", false, true},
        {"file_admins_only", L"O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", false, false},
        // FILE_DELETE_CHILD means nothing on a file.
        {"file_delete_child", L"O:BAG:SYD:(A;;FA;;;SY)(A;;0x1200e9;;;BU)", false, false},
        {"file_users_append", L"O:BAG:SYD:(A;;FA;;;SY)(A;;0x120004;;;BU)", false, true},
        {"file_users_delete", L"O:BAG:SYD:(A;;FA;;;SY)(A;;SD;;;BU)", false, true},
        {"file_users_write_dac", L"O:BAG:SYD:(A;;FA;;;SY)(A;;WD;;;BU)", false, true},
        {"file_users_generic_all", L"O:BAG:SYD:(A;;FA;;;SY)(A;;GA;;;BU)", false, true},
        // A user's own file: its owner may rewrite the DACL.
        {"user_owner", L"O:" + kUser + L"G:SYD:(A;;FA;;;SY)", false, true},
        {"user_owner_held_by_owner_rights", L"O:" + kUser + L"G:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;OW)", false, false},
        {"owner_rights_write_for_user", L"O:" + kUser + L"G:SYD:(A;;FA;;;SY)(A;;FA;;;OW)", false, true},
        {"owner_rights_write_for_admins", L"O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;OW)", false, false},
        {"no_owner", L"D:(A;;FA;;;SY)", false, true},
        // A deny ACE is not weighed: the grant after it counts.
        {"deny_then_allow", L"O:BAG:SYD:(D;;FA;;;BU)(A;;FA;;;BU)", false, true},
        {"creator_owner_on_the_object", L"O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;CO)", true, false},
        {"authenticated_users_modify", L"O:BAG:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", true, true},
        {"a_user_read_only", L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;" + kUser + L")", true, false},
    };
    for (const SdCase& c : cases) {
        SCOPED_TRACE(c.name);
        kt::unique_local sd = kt::SdFromSddl(c.sddl);
        ASSERT_TRUE(sd) << "not SDDL: " << GetLastError();
        EXPECT_EQ(kt::OthersMayWrite(sd.get(), c.folder), c.others_may_write);
    }
    EXPECT_TRUE(kt::OthersMayWrite(nullptr, false));
    // A null DACL lets everybody do everything (built by hand: Wine's SDDL
    // reader makes an empty DACL of "D:NO_ACCESS_CONTROL").
    SECURITY_DESCRIPTOR open_sd;
    kt::unique_local admins = kt::SdFromSddl(L"O:BA");
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(admins && GetSecurityDescriptorOwner(admins.get(), &owner, &defaulted));
    ASSERT_TRUE(InitializeSecurityDescriptor(&open_sd, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorOwner(&open_sd, owner, FALSE) &&
                SetSecurityDescriptorDacl(&open_sd, TRUE, nullptr, FALSE));
    EXPECT_TRUE(kt::OthersMayWrite(&open_sd, true));
}

// One more account trusted like the machine's own: what it owns and only it
// may change (the account the process runs as), nobody else's.
TEST(WliTrust, AnAccountTrustedToo) {
    kt::unique_local user_sd = kt::SdFromSddl(L"O:" + kUser);
    PSID user = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(user_sd && GetSecurityDescriptorOwner(user_sd.get(), &user, &defaulted));
    const struct {
        const char* name;
        std::wstring sddl;
        bool others_may_write;
    } cases[] = {
        {"its_own_folder", L"O:" + kUser + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + kUser + L")", false},
        {"its_own_with_everyone_reading", L"O:" + kUser + L"D:(A;OICI;FA;;;" + kUser + L")(A;OICI;0x1200a9;;;WD)", false},
        {"another_user_may_write", L"O:" + kUser + L"D:(A;OICI;FA;;;" + kUser + L")(A;OICI;FA;;;S-1-5-21-1-2-3-1002)",
         true},
        {"another_users_folder", L"O:S-1-5-21-1-2-3-1002D:(A;OICI;FA;;;SY)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kt::unique_local sd = kt::SdFromSddl(c.sddl);
        ASSERT_TRUE(sd);
        EXPECT_EQ(kt::OthersMayWrite(sd.get(), true, user), c.others_may_write);
        // Without it, the user is one of the others.
        EXPECT_TRUE(kt::OthersMayWrite(sd.get(), true));
    }
}

TEST(WliTrust, TheFileAndItsFolderBothCount) {
    kt::unique_local admins = kt::SdFromSddl(L"O:SYG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    kt::unique_local users = kt::SdFromSddl(L"O:BAG:SYD:(A;OICI;FA;;;SY)(A;CI;0x116;;;BU)");
    kt::unique_local user_file = kt::SdFromSddl(L"O:BAG:SYD:(A;;FA;;;SY)(A;;FW;;;BU)");
    ASSERT_TRUE(admins && users && user_file);
    EXPECT_TRUE(kt::WliTrusted(admins.get(), admins.get()));
    EXPECT_TRUE(kt::WliTrusted(nullptr, admins.get()));  // no file, and none can be added
    EXPECT_FALSE(kt::WliTrusted(nullptr, users.get()));   // a user may add one
    EXPECT_FALSE(kt::WliTrusted(admins.get(), users.get()));
    EXPECT_FALSE(kt::WliTrusted(user_file.get(), admins.get()));
    // A folder whose security cannot be read is no folder of the admins'.
    EXPECT_FALSE(kt::WliTrustedOnDisk(L"C:\\velmo-no-such-folder\\velmo.wli"));
}

}  // namespace
