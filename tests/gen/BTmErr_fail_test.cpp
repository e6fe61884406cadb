// A code taken before the date-time codes are registered: the registration
// fails at that row. This program links no date-time value, so nothing else
// registers the codes first.
#include <gtest/gtest.h>

#include "gen/BTmErr.h"
#include "lib/kt.h"

namespace {

const bool g_taken = kt::RegisterError(kt::dtrWrongYear, L"taken");

std::wstring Attempt() {
    try {
        kt::RegisterTimeErrors();
    } catch (const kt::wexception& e) {
        return e.text();
    }
    return L"<no throw>";
}

const std::wstring g_first = Attempt();

TEST(BTmErr, FailedRegistrationNamesItsRow) {
    ASSERT_TRUE(g_taken);
    EXPECT_EQ(g_first, L"!::RegisterError(dtrWrongYear,txtWrongYear) at Lib\\Src\\gen\\BTmErr line 28");
    EXPECT_EQ(kt::ErrorText(kt::dtrInvalidDateFormat).empty(), false);
    EXPECT_EQ(kt::ErrorText(kt::dtrWrongYear), L"taken");
    EXPECT_TRUE(kt::ErrorText(kt::dtrWrongMonth).empty());
    // The flag stayed clear: a second attempt starts again at the first row.
    EXPECT_EQ(Attempt(), L"!::RegisterError(dtrInvalidDateFormat,txtInvldDtFrmt) at Lib\\Src\\gen\\BTmErr line 26");
}

}  // namespace
