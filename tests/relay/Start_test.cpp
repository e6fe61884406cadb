// The start of a relayed run: the order of attempts, and the private copy.
#include <gtest/gtest.h>

#include "io/security.h"
#include "relay/Start.h"
#include "tests/testdir.h"

namespace {

using kt::kNotTried;

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
    const std::wstring sddl = kt::CopyFolderSddl(user);
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
    EXPECT_EQ(want[2] & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u);
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
        ASSERT_TRUE(copy.make(root / L"velmo.exe", OwnSid(), root.path() + L"\\").ok());
        folder = copy.folder();
        EXPECT_EQ(folder.compare(0, root.path().size() + 1, root.path() + L"\\"), 0);
        EXPECT_TRUE(kt::IsCopyFolderName(folder.substr(root.path().size() + 1)));
        EXPECT_EQ(copy.exe(), folder + L"\\velmo.exe");
        EXPECT_EQ(TestDir::Read(copy.exe()), "MZ the same bytes");
        // Another copy: another folder.
        kt::PrivateCopy other;
        ASSERT_TRUE(other.make(root / L"velmo.exe", OwnSid(), root.path() + L"\\").ok());
        EXPECT_NE(other.folder(), folder);
        EXPECT_EQ(other.remove(), 0u);
        EXPECT_FALSE(Exists(other.folder().empty() ? folder + L"-gone" : other.folder()));
    }
    EXPECT_FALSE(Exists(folder)) << "the copy's folder stayed";
    kt::PrivateCopy nowhere;
    EXPECT_FALSE(nowhere.make(root / L"velmo.exe", OwnSid(), root / L"no-such-folder\\").ok());
    EXPECT_FALSE(nowhere.make(root / L"no-such.exe", OwnSid(), root.path() + L"\\").ok());
    EXPECT_TRUE(nowhere.folder().empty()) << "a failed copy left its folder";
    EXPECT_EQ(TestDir::List(root / L"velmo-relay-*").size(), 0u);
}

// Only velmo's own folders whose asker has ended, and nothing that is not
// a plain file of them.
TEST(PrivateCopy, StaleCopiesAreRemoved) {
    TestDir root(L"stale_root");
    const std::wstring base = root.path() + L"\\";
    unsigned char random[16] = {1, 2, 3};
    auto make = [&](const std::wstring& name, bool with_file) {
        CreateDirectoryW((base + name).c_str(), nullptr);
        if (with_file) TestDir::Write(base + name + L"\\velmo.exe", "MZ");
        return base + name;
    };
    const DWORD kEnded = 0x7FFFFFF0;  // no process has this id
    std::wstring stale = make(kt::CopyFolderName(kEnded, random), true);
    random[0] = 9;
    std::wstring empty_stale = make(kt::CopyFolderName(kEnded, random), false);
    random[0] = 10;
    std::wstring mine = make(kt::CopyFolderName(GetCurrentProcessId(), random), true);
    random[0] = 11;
    std::wstring nested = make(kt::CopyFolderName(kEnded, random), true);
    CreateDirectoryW((nested + L"\\inner").c_str(), nullptr);
    std::wstring other = make(L"velmo-relay-something-else", true);
    std::vector<std::wstring> removed = kt::RemoveStaleCopies(base);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(empty_stale));
    EXPECT_TRUE(Exists(mine + L"\\velmo.exe")) << "a running asker's copy was taken";
    EXPECT_TRUE(Exists(nested + L"\\inner")) << "more than plain files was removed";
    EXPECT_TRUE(Exists(other + L"\\velmo.exe"));
    EXPECT_TRUE(kt::RemoveStaleCopies(base + L"no-such\\").empty());
    RemoveDirectoryW((nested + L"\\inner").c_str());
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
