#include <gtest/gtest.h>

#include "app/Unseen.h"

namespace {

struct NobodyCase {
    const wchar_t* args;  // after the program's name
    int code;
};

// What a box that nobody can see ends with: the countdown's answer at zero,
// else 32000.
TEST(NobodyAnswer, CodeTable) {
    const NobodyCase cases[] = {
        {L"t c YesNo 60", IDYES},
        {L"t c YesNo|DefButton2 60", IDNO},
        {L"t c YesNoCancel|DefButton3 60", IDCANCEL},
        {L"t c AbortRetryIgnore|DefButton2 5", IDRETRY},
        {L"t c CancelTryContinue|DefButton3 5", IDCONTINUE},
        {L"t c RetryCancel 5", IDRETRY},
        {L"t c OkCancel|DefButton2 5", IDCANCEL},
        // The OK-only box: Windows answers the countdown's click with OK.
        {L"t c OK 5", IDOK},
        {L"t c Information|NoButtons 5", IDOK},
        {L"t c NoButtons|DefButton4 5", IDOK},
        // A timeout that never ends in practice is still a countdown.
        {L"t c YesNo|DefButton2 -5", IDNO},
        {L"t c YesNo|DefButton2|ReportTimeout 60", 32000},
        {L"t c OK|ReportTimeout 5", 32000},
        {L"t c YesNo", 32000},
        {L"t c YesNo|DefButton2 abc", 32000},
        {L"t c NoButtons", 32000},
        {L"t c YesNo|DefButton4 60", 32000},
        {L"t c YesNo|DefButton3 60", 32000},
        {L"t c OK|DefButton2 60", 32000},
        {L"t c \"YesNo|Button1=&Restart|Guard\" 60", IDYES},
    };
    for (const NobodyCase& c : cases) {
        std::wstring line = std::wstring(L"velmo.exe ") + c.args;
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        MsgBoxParams p;
        ASSERT_TRUE(ParseCmdLine(p, line.c_str()).ok());
        EXPECT_EQ(NobodyAnswer(p), c.code);
    }
}

}  // namespace
