#include <gtest/gtest.h>

#include "app/Relayed.h"
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

// What a relayed run is sent comes back as the box it shows: its person's
// words, the countdown's remaining seconds, the greyed and the defer
// button and their words once none is left.
TEST(Relayed, TheQuestionComesBackAsTheBox) {
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe \"Neu starten?\\n{left} \" \"IT\" "
                                L"\"YesNo|Warning|DefButton2|Guard|Button1=&Jetzt|Button2=Sp\u00E4ter ({left})|Defer=k:3\" 600")
                    .ok());
    p.look.none_left[1] = L"Sp\u00E4ter (0)";
    p.look.deferral = 1;
    p.look.deferral_until = 0x01DC0000AAAABBBBull;
    MsgBoxParams got;
    ASSERT_TRUE(ReadQuestion(QuestionMessage(p, 42), got));
    EXPECT_EQ(got.text, p.text);
    EXPECT_EQ(got.caption, L"IT");
    EXPECT_EQ(got.flags, p.flags);
    EXPECT_EQ(got.timeout, 42);
    EXPECT_TRUE(got.buttons);
    EXPECT_TRUE(got.look.guard);
    EXPECT_FALSE(got.run);
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        EXPECT_EQ(got.look.labels[i], p.look.labels[i]) << i;
        EXPECT_EQ(got.look.none_left[i], p.look.none_left[i]) << i;
    }
    EXPECT_EQ(got.look.deferral, 1);
    EXPECT_EQ(got.look.deferral_until, p.look.deferral_until);
    EXPECT_EQ(got.look.locked, -1);
    // Nothing of the command line that is not the box's goes over.
    EXPECT_TRUE(got.defer.key.empty());
    EXPECT_TRUE(got.command.empty());

    MsgBoxParams notice;
    ASSERT_TRUE(ParseCmdLine(notice, L"velmo.exe wait IT \"Information|NoButtons|Run\" 0 setup.exe /key=SECRET").ok());
    ASSERT_TRUE(ReadQuestion(QuestionMessage(notice, 0), got));
    EXPECT_TRUE(got.run);
    EXPECT_FALSE(got.buttons);
    EXPECT_TRUE(got.command.empty());
    const std::string frame = QuestionMessage(notice, 0).frame();
    EXPECT_EQ(frame.find("SECRET"), std::string::npos);
    const std::wstring wide(reinterpret_cast<const wchar_t*>(frame.data()), frame.size() / 2);
    EXPECT_EQ(wide.find(L"SECRET"), std::wstring::npos);
}

// A question is read as anything from another process: what no command
// line could give is no question (and shows no box).
TEST(Relayed, WhatIsNoQuestion) {
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe t c \"YesNo|Button2=Later\" 60").ok());
    const kt::ChannelMessage good = QuestionMessage(p, 60);
    const struct {
        const char* name;
        int field;
        uint32_t value;  // put over the good one
        const wchar_t* text;  // put as text instead, when given
        bool question;
    } cases[] = {
        {"good", 0, 0, nullptr, true},
        {"a_set_that_does_not_exist", qfFlags, MB_YESNO | 7, nullptr, false},
        {"an_unknown_style_bit", qfFlags, MB_YESNO | MB_SERVICE_NOTIFICATION, nullptr, false},
        {"greyed_button_the_set_lacks", qfLocked, 2, nullptr, false},
        {"greyed_button_2", qfLocked, 1, nullptr, true},
        {"defer_button_without_its_deadline", qfDeferral, 1, nullptr, false},
        {"a_flag_that_is_no_bool", qfGuard, 2, nullptr, false},
        {"a_negative_timeout_taken_unsigned", qfTimeout, 0xFFFFFFFBu, nullptr, true},
        {"a_label_too_long", qfLabel + 1, 0, L"0123456789012345678901234567890123456789x", false},
        {"a_label_with_a_control_character", qfLabel, 0, L"Yes\x07", false},
        {"a_label_for_no_button", qfLabel + 2, 0, L"Cancel", false},
        {"flags_of_the_wrong_kind", qfFlags, 0, L"x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kt::ChannelMessage m = good;
        const uint16_t field = static_cast<uint16_t>(c.field);
        if (c.text) m.put(field, std::wstring(c.text));
        else if (c.field) m.put(field, c.value);
        MsgBoxParams got;
        EXPECT_EQ(ReadQuestion(m, got), c.question);
    }
    MsgBoxParams got;
    EXPECT_FALSE(ReadQuestion(kt::AnswerMessage(kt::Outcome()), got)) << "a message of another type";
    EXPECT_FALSE(ReadQuestion(kt::ChannelMessage(kt::ctQuestion), got)) << "an empty question";
}

}  // namespace
