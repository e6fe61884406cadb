// The start of a relayed run: the order of attempts, and the private copy.
#include <gtest/gtest.h>

#include <algorithm>

#include "Log/WliTrust.h"
#include "io/security.h"
#include "relay/Start.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

using kt::kNotTried;
using test::Narrow;

std::string test_name(const wchar_t* w) { return std::string(w, w + wcslen(w)); }

// One pure function over what each step reported.
TEST(NextWay, TheOrderOfAttempts) {
    const DWORD kDenied = ERROR_ACCESS_DENIED, kPolicy = ERROR_ACCESS_DISABLED_BY_POLICY;
    const struct {
        const char* name;
        kt::Attempts a;
        kt::Way next;
    } cases[] = {
        {"user_may_run_it", {1, kNotTried, kNotTried, kNotTried}, kt::wyInPlace},
        {"user_may_not", {0, kNotTried, kNotTried, kNotTried}, kt::wyCopy},
        {"not_known", {-1, kNotTried, kNotTried, kNotTried}, kt::wyCopy},
        {"started_in_place", {1, 0, kNotTried, kNotTried}, kt::wyAsked},
        {"in_place_denied", {1, kDenied, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_blocked_by_policy", {1, kPolicy, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_bad_directory", {1, ERROR_DIRECTORY, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_code_integrity", {1, 4551 /* Application Control */, kNotTried, kNotTried}, kt::wyCopy},
        // A path that SYSTEM sees and the user does not: a copy gets past it.
        {"in_place_path_not_found", {1, ERROR_PATH_NOT_FOUND, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_file_not_found", {1, ERROR_FILE_NOT_FOUND, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_bad_netpath", {1, ERROR_BAD_NETPATH, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_bad_net_name", {1, ERROR_BAD_NET_NAME, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_logon_failure", {1, ERROR_LOGON_FAILURE, kNotTried, kNotTried}, kt::wyCopy},
        {"in_place_network_access_denied", {1, ERROR_NETWORK_ACCESS_DENIED, kNotTried, kNotTried}, kt::wyCopy},
        {"copy_path_not_found", {1, ERROR_BAD_NETPATH, ERROR_PATH_NOT_FOUND, kNotTried}, kt::wyMessage},
        // A copy does not help where the start itself cannot be made.
        {"in_place_no_privilege", {1, ERROR_PRIVILEGE_NOT_HELD, kNotTried, kNotTried}, kt::wyMessage},
        {"started_from_copy", {0, kNotTried, 0, kNotTried}, kt::wyAsked},
        {"started_from_copy_after_refusal", {1, kDenied, 0, kNotTried}, kt::wyAsked},
        {"copy_blocked", {0, kNotTried, kPolicy, kNotTried}, kt::wyMessage},
        {"both_blocked", {1, kPolicy, kPolicy, kNotTried}, kt::wyMessage},
        {"no_copy_made", {0, kNotTried, ERROR_PATH_NOT_FOUND, kNotTried}, kt::wyMessage},
        {"message_answered", {0, kNotTried, kPolicy, 0}, kt::wyAsked},
        {"message_failed", {0, kNotTried, kPolicy, ERROR_ACCESS_DENIED}, kt::wyNobody},
        {"message_failed_after_both", {1, kDenied, kPolicy, ERROR_NOT_SUPPORTED}, kt::wyNobody},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kt::NextWay(c.a), c.next) << c.name;
        EXPECT_STRNE(kt::WayText(c.next), L"?");
    }
}

// Checked as data: Wine keeps no DACL that is set on a file.
TEST(PrivateCopy, TheFoldersSecurity) {
    const std::wstring user = L"S-1-5-21-1004336348-1177238915-682003330-1001";
    const std::wstring sddl = kt::CopyFolderSddl({user});
    EXPECT_EQ(sddl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + L")");
    kt::unique_local sd = kt::SdFromSddl(sddl);
    ASSERT_TRUE(sd);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits from the temp folder";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) && present && dacl);
    ASSERT_EQ(dacl->AceCount, 3u);
    const ACCESS_MASK want[] = {FILE_ALL_ACCESS, FILE_ALL_ACCESS, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
        EXPECT_EQ(ace->Mask, want[i]) << i;
    }
    // The user may read and run what it holds, and write nothing.
    ACCESS_ALLOWED_ACE* user_ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 2, reinterpret_cast<void**>(&user_ace)));
    EXPECT_EQ(user_ace->Mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                                FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER),
              0u);
}

// One copy for every asked user who may not run the exe where it is: one
// ACE each, read and execute, however often a user is asked.
TEST(PrivateCopy, TheFoldersSecurityForSeveralUsers) {
    const std::wstring a = L"S-1-5-21-1-2-3-1001", b = L"S-1-5-21-1-2-3-1002", c = L"S-1-5-21-1-2-3-1003";
    const std::wstring sddl = kt::CopyFolderSddl({a, b, a, c});
    const std::wstring rx = L"(A;OICI;0x1200a9;;;";
    EXPECT_EQ(sddl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + rx + a + L")" + rx + b + L")" + rx + c + L")");
    kt::unique_local sd = kt::SdFromSddl(sddl);
    ASSERT_TRUE(sd);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) && present && dacl);
    EXPECT_EQ(dacl->AceCount, 5u);
    // Nobody but SYSTEM and Administrators may change it.
    kt::unique_local owned = kt::SdFromSddl(L"O:SY" + sddl);
    EXPECT_FALSE(kt::OthersMayWrite(owned.get(), true));
    EXPECT_EQ(kt::CopyFolderSddl({}), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

TEST(PrivateCopy, NamesNobodyCanGuess) {
    unsigned char random[16];
    for (int i = 0; i < 16; ++i) random[i] = static_cast<unsigned char>(i * 17);
    std::wstring name = kt::CopyFolderName(0x1A4, random);
    EXPECT_EQ(name, L"velmo-relay-000001A4-00112233445566778899AABBCCDDEEFF");
    DWORD pid = 0;
    EXPECT_TRUE(kt::IsCopyFolderName(name, &pid));
    EXPECT_EQ(pid, 0x1A4u);
    for (const wchar_t* other : {L"velmo-relay-000001A4-00112233445566778899AABBCCDDEEF",     // short
                                 L"velmo-relay-000001A4-00112233445566778899AABBCCDDEEFF0",   // long
                                 L"velmo-relay-000001A4-00112233445566778899aabbccddeeff",    // not ours: lower case
                                 L"velmo-relay-000001A4_00112233445566778899AABBCCDDEEFF",
                                 L"velmo-relay-0000 1A4-00112233445566778899AABBCCDDEEFF",
                                 L"Velmo-relay-000001A4-00112233445566778899AABBCCDDEEFF", L"velmo-relay-", L""})
        EXPECT_FALSE(kt::IsCopyFolderName(other)) << test_name(other);
    std::wstring root = kt::TempRoot();
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.back(), L'\\');
}

std::wstring OwnSid() {
    HANDLE t = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &t);
    kt::unique_handle token(t);
    return kt::TokenUserSid(token.get());
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(PrivateCopy, MadeInANewFolderAndRemovedWithIt) {
    TestDir root(L"copy_root");
    TestDir::Write(root / L"velmo.exe", "MZ the same bytes");
    std::wstring folder;
    {
        kt::PrivateCopy copy;
        ASSERT_TRUE(copy.make(root / L"velmo.exe", {OwnSid()}, root.path()).ok());
        folder = copy.folder();
        EXPECT_EQ(folder.compare(0, root.path().size() + 1, root.path() + L"\\"), 0);
        EXPECT_TRUE(kt::IsCopyFolderName(folder.substr(root.path().size() + 1)));
        EXPECT_EQ(copy.exe(), folder + L"\\velmo.exe");
        EXPECT_EQ(TestDir::Read(copy.exe()), "MZ the same bytes");
        // Another copy: another folder, and removed on its own.
        kt::PrivateCopy other;
        ASSERT_TRUE(other.make(root / L"velmo.exe", {OwnSid()}, root.path()).ok());
        const std::wstring other_folder = other.folder();
        EXPECT_NE(other_folder, folder);
        EXPECT_TRUE(Exists(other_folder + L"\\velmo.exe"));
        EXPECT_EQ(other.remove(), 0u);
        EXPECT_TRUE(other.folder().empty());
        EXPECT_FALSE(Exists(other_folder)) << "the second copy's folder stayed";
        EXPECT_TRUE(Exists(copy.exe())) << "the first copy went with the second";
    }
    EXPECT_FALSE(Exists(folder)) << "the copy's folder stayed";
    kt::PrivateCopy nowhere;
    EXPECT_FALSE(nowhere.make(root / L"velmo.exe", {OwnSid()}, root / L"no-such-folder").ok());
    EXPECT_FALSE(nowhere.make(root / L"no-such.exe", {OwnSid()}, root.path()).ok());
    EXPECT_TRUE(nowhere.folder().empty()) << "a failed copy left its folder";
    EXPECT_EQ(TestDir::List(root / L"velmo-relay-*").size(), 0u);
}

// Whom the copies' folder may belong to, and who else may change it, as
// data (Wine reports its own owner and ACEs for every folder).
TEST(CopiesFolder, TheTrustRule) {
    const std::wstring asker = L"S-1-5-21-1-2-3-1001", other = L"S-1-5-21-1-2-3-1002";
    const DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
    const struct {
        const char* name;
        DWORD attributes;
        std::wstring sddl;
        bool trusted;
    } cases[] = {
        {"made_by_system", kDir, L"O:SYG:SY" + kt::CopiesFolderSddl(), true},
        // SYSTEM's default owner may be Administrators.
        {"owned_by_administrators", kDir, L"O:BAG:SY" + kt::CopiesFolderSddl(), true},
        {"owned_by_the_asking_account", kDir, L"O:" + asker + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + asker + L")", true},
        {"others_may_list", kDir, L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)", true},
        {"owned_by_a_user", kDir, L"O:" + other + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {"owned_by_trustedinstaller", kDir,
         L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" + kt::CopiesFolderSddl(), false},
        {"a_user_may_write", kDir, L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + other + L")", false},
        {"users_may_add_folders", kDir, L"O:SYD:P(A;OICI;FA;;;SY)(A;;0x4;;;BU)", false},
        // C:\Windows\Temp: users may add folders.
        {"windows_temp", kDir,
         L"O:SYG:SYD:(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)(A;;0x1301bf;;;BA)"
         L"(A;CIIO;DCLCRPCR;;;BU)(A;;CCDCLCSWRP;;;BU)",
         false},
        {"a_junction", kDir | FILE_ATTRIBUTE_REPARSE_POINT, L"O:SYG:SY" + kt::CopiesFolderSddl(), false},
        {"a_file", FILE_ATTRIBUTE_ARCHIVE, L"O:SYG:SY" + kt::CopiesFolderSddl(), false},
        {"not_read", INVALID_FILE_ATTRIBUTES, L"O:SYG:SY" + kt::CopiesFolderSddl(), false},
        {"no_owner", kDir, kt::CopiesFolderSddl(), false},
    };
    kt::unique_local asker_sd = kt::SdFromSddl(L"O:" + asker);
    PSID asker_sid = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(asker_sd && GetSecurityDescriptorOwner(asker_sd.get(), &asker_sid, &defaulted));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kt::unique_local sd = kt::SdFromSddl(c.sddl);
        ASSERT_TRUE(sd) << GetLastError();
        EXPECT_EQ(kt::CopiesFolderTrusted(c.attributes, sd.get(), asker_sid), c.trusted);
    }
    EXPECT_FALSE(kt::CopiesFolderTrusted(FILE_ATTRIBUTE_DIRECTORY, nullptr, asker_sid));
    // The folder velmo makes: nobody but SYSTEM and Administrators, and not
    // what is above.
    kt::unique_local made = kt::SdFromSddl(kt::CopiesFolderSddl());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(made && GetSecurityDescriptorControl(made.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_EQ(kt::CopiesFolderSddl(), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

// A folder beside the tests' own, with a victim whose files a link may point at.
struct Planted {
    explicit Planted(const TestDir& root) : victim(root / L"victim") {
        CreateDirectoryW(victim.c_str(), nullptr);
        TestDir::Write(victim + L"\\velmo.exe", "victim's");
        TestDir::Write(victim + L"\\notes.txt", "victim's");
    }
    // Whether every file of the victim is still there as it was.
    bool Untouched() const {
        return TestDir::Read(victim + L"\\velmo.exe") == "victim's" && TestDir::Read(victim + L"\\notes.txt") == "victim's";
    }
    std::wstring victim;
};

// Only velmo's own folders whose asker has ended, opened as themselves, and
// nothing in them that is not a plain file of their own.
TEST(CopiesFolder, StaleCopiesAreRemoved) {
    TestDir root(L"stale_root");
    kt::CopiesFolder copies;
    ASSERT_TRUE(copies.open(root.path()).ok());
    ASSERT_TRUE(copies.shared()) << Narrow(copies.distrust());
    EXPECT_EQ(copies.path(), root / L"velmo-relay");
    const std::wstring base = copies.path() + L"\\";
    unsigned char random[16] = {1, 2, 3};
    auto name = [&](unsigned char n, DWORD pid) {
        random[0] = n;
        return base + kt::CopyFolderName(pid, random);
    };
    auto make = [&](const std::wstring& folder, bool with_file) {
        CreateDirectoryW(folder.c_str(), nullptr);
        if (with_file) TestDir::Write(folder + L"\\velmo.exe", "MZ");
        return folder;
    };
    const DWORD kEnded = 0x7FFFFFF0;  // no process has this id
    std::wstring stale = make(name(1, kEnded), true);
    std::wstring empty_stale = make(name(2, kEnded), false);
    std::wstring mine = make(name(3, GetCurrentProcessId()), true);
    std::wstring nested = make(name(4, kEnded), true);
    CreateDirectoryW((nested + L"\\inner").c_str(), nullptr);
    std::wstring other = make(base + L"velmo-relay-something-else", true);
    // What an attacker would plant: a folder of another owner, a link to a
    // folder, and a copy whose exe is a link to a file, all named as stale
    // copies.
    Planted planted(root);
    std::wstring foreign = make(name(5, kEnded), true);
    const bool foreign_made = test::GiveToNobody(foreign);
    const std::wstring linked_folder = name(6, kEnded);
    ASSERT_TRUE(test::UnixLink(planted.victim, linked_folder)) << "no link to a folder";
    const std::wstring linked_file = make(name(7, kEnded), false);
    ASSERT_TRUE(test::UnixLink(planted.victim + L"\\velmo.exe", linked_file + L"\\velmo.exe")) << "no link to a file";

    std::vector<std::wstring> removed = kt::RemoveStaleCopies(copies);
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::wstring>{stale, empty_stale}));
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(empty_stale));
    EXPECT_TRUE(Exists(mine + L"\\velmo.exe")) << "a running asker's copy was taken";
    EXPECT_TRUE(Exists(nested + L"\\inner")) << "more than plain files was removed";
    EXPECT_TRUE(Exists(other + L"\\velmo.exe"));
    EXPECT_TRUE(planted.Untouched()) << "a file behind a link was deleted";
    EXPECT_TRUE(Exists(linked_folder)) << "a link was taken for a folder";
    EXPECT_TRUE(Exists(linked_file + L"\\velmo.exe"));
    if (foreign_made) {
        EXPECT_TRUE(Exists(foreign)) << "another owner's folder was removed";
    } else {
        ADD_FAILURE() << "no folder of another owner: Wine does not run as root here";
    }
    RemoveDirectoryW((nested + L"\\inner").c_str());
    EXPECT_TRUE(test::RemoveUnix(foreign));
}

// A copies folder that others may change, or a link in its place, is not
// used: the copies go to a fresh folder, which is never swept and goes
// afterwards.
TEST(CopiesFolder, NotTrustedThenFreshAndNotSwept) {
    TestDir root(L"copies_untrusted");
    Planted planted(root);
    unsigned char random[16] = {9};
    const std::wstring stale_name = kt::CopyFolderName(0x7FFFFFF0, random);
    for (const char* kind : {"link", "foreign"}) {
        SCOPED_TRACE(kind);
        const std::wstring shared = root / L"velmo-relay";
        std::wstring stale;
        if (std::string(kind) == "link") {
            ASSERT_TRUE(test::UnixLink(planted.victim, shared));
        } else {
            CreateDirectoryW(shared.c_str(), nullptr);
            stale = shared + L"\\" + stale_name;
            CreateDirectoryW(stale.c_str(), nullptr);
            TestDir::Write(stale + L"\\velmo.exe", "MZ");
            if (!test::GiveToNobody(shared)) {
                ADD_FAILURE() << "no folder of another owner: Wine does not run as root here";
                continue;
            }
        }
        kt::CopiesFolder copies;
        // Only opened to sweep: nothing is made, and nothing swept.
        EXPECT_FALSE(copies.open(root.path(), false).ok());
        EXPECT_FALSE(copies.shared());
        EXPECT_TRUE(kt::RemoveStaleCopies(copies).empty());
        ASSERT_TRUE(copies.open(root.path()).ok());
        EXPECT_FALSE(copies.shared());
        EXPECT_FALSE(copies.distrust().empty());
        const std::wstring fresh = copies.path();
        EXPECT_EQ(fresh.compare(0, shared.size() + 1, shared + L"."), 0) << Narrow(fresh);
        EXPECT_EQ(fresh.size(), shared.size() + 33);
        EXPECT_TRUE(kt::RemoveStaleCopies(copies).empty());
        {
            kt::PrivateCopy copy;
            TestDir::Write(root / L"velmo.exe", "MZ");
            ASSERT_TRUE(copy.make(root / L"velmo.exe", {OwnSid()}, copies.path()).ok());
            EXPECT_EQ(copy.folder().compare(0, fresh.size() + 1, fresh + L"\\"), 0);
        }
        copies.close();
        EXPECT_FALSE(Exists(fresh)) << "the fresh folder stayed";
        EXPECT_TRUE(planted.Untouched());
        if (!stale.empty()) {
            EXPECT_TRUE(Exists(stale + L"\\velmo.exe")) << "swept where others may write";
        }
        ASSERT_TRUE(test::RemoveUnix(shared));
    }
}

TEST(UserMayRun, ByTheFilesSecurity) {
    TestDir dir(L"may_run");
    TestDir::Write(dir / L"velmo.exe", "MZ");
    HANDLE t = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &t));
    kt::unique_handle token(t);
    DWORD error = 0;
    EXPECT_EQ(kt::UserMayRun(token.get(), dir / L"velmo.exe", &error), 1);
    EXPECT_EQ(kt::UserMayRun(token.get(), dir / L"no-such.exe", &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
