#include <gtest/gtest.h>

#include "io/security.h"

#include <sddl.h>

namespace {

struct SidCase {
    const wchar_t* sid;
    bool admin;    // SYSTEM, Administrators, TrustedInstaller
    bool service;  // what a service or a deployment runs as
};

TEST(Security, AccountsBySid) {
    const SidCase cases[] = {
        {L"S-1-5-18", true, true},
        {L"S-1-5-19", false, true},
        {L"S-1-5-20", false, true},
        {L"S-1-5-32-544", true, false},
        {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true, true},
        {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465", false, true},  // another service
        {L"S-1-5-80-956008885-3418522649-1831038044-1853292631", false, true},
        {L"S-1-5-21-1-2-3-1001", false, false},
        {L"S-1-5-21-1-2-3-500", false, false},  // the local Administrator: a user
        {L"S-1-5-32-545", false, false},
        {L"S-1-1-0", false, false},
        {L"S-1-16-18", false, false},  // not NT AUTHORITY
    };
    for (const SidCase& c : cases) {
        SCOPED_TRACE(std::string(c.sid, c.sid + wcslen(c.sid)));
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(c.sid, &sid));
        kt::unique_local owned(sid);
        EXPECT_EQ(kt::IsAdminSid(sid), c.admin);
        EXPECT_EQ(kt::IsServiceSid(sid), c.service);
    }
}

TEST(Security, SddlRoundTripAndThisProcess) {
    const std::wstring dacl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    kt::unique_local sd = kt::SdFromSddl(dacl);
    ASSERT_TRUE(sd);
    EXPECT_EQ(kt::SddlOf(sd.get(), DACL_SECURITY_INFORMATION), dacl);
    EXPECT_FALSE(kt::SdFromSddl(L"D:(bogus)"));
    // The tests run as an ordinary user, never as a service.
    EXPECT_FALSE(kt::RunsAsServiceAccount());
    HANDLE t = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t));
    kt::unique_handle token(t);
    EXPECT_EQ(kt::TokenUserSid(token.get()).compare(0, 4, L"S-1-"), 0);
}

}  // namespace
