#include <gtest/gtest.h>

#include "app/Console.h"

namespace {

TEST(AnswerName, EveryButtonAndTheTimeout) {
    const std::pair<int, const char*> names[] = {
        {IDOK, "OK"},   {IDCANCEL, "Cancel"}, {IDABORT, "Abort"},         {IDRETRY, "Retry"},
        {IDIGNORE, "Ignore"}, {IDYES, "Yes"}, {IDNO, "No"},               {IDTRYAGAIN, "TryAgain"},
        {IDCONTINUE, "Continue"}, {32000, "Timeout"},
    };
    for (const auto& n : names) EXPECT_STREQ(AnswerName(n.first), n.second) << n.first;
    EXPECT_EQ(AnswerName(ERROR_INVALID_PARAMETER), nullptr);
    EXPECT_EQ(AnswerName(0), nullptr);
    EXPECT_EQ(RedirectedText(L"a\nb", CP_UTF8), "a\r\nb");
    EXPECT_EQ(RedirectedText(L"\u0414\u0430\n", 866), "\x84\xA0\r\n");
}

}  // namespace
