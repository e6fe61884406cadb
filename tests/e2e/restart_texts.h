// The words of examples/restart.txt by language, as the box must show them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/e2e/harness.h"

struct RestartWords {
    const wchar_t* caption;
    const wchar_t* text;
    const wchar_t* labels[2];
};

// For VELMO_EXPECT_LANG (en when unset): en, de or ru.
inline const RestartWords& RestartWordsForTheRun() {
    static const RestartWords kEn{L"IT department",
                                  L"Updates have been installed.\nRestart now? Save your work first.",
                                  {L"&Restart now", L"&Later"}};
    static const RestartWords kDe{L"IT-Abteilung",
                                  L"Updates wurden installiert.\nJetzt neu starten? Speichern Sie zuerst Ihre Arbeit.",
                                  {L"&Jetzt neu starten", L"&Sp\u00E4ter"}};
    static const RestartWords kRu{
        L"\u0418\u0422-\u043E\u0442\u0434\u0435\u043B",
        L"\u041E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u044F \u0443\u0441\u0442\u0430\u043D\u043E\u0432"
        L"\u043B\u0435\u043D\u044B.\n\u041F\u0435\u0440\u0435\u0437\u0430\u0433\u0440\u0443\u0437\u0438\u0442\u044C "
        L"\u0441\u0435\u0439\u0447\u0430\u0441? \u0421\u043D\u0430\u0447\u0430\u043B\u0430 \u0441\u043E\u0445\u0440"
        L"\u0430\u043D\u0438\u0442\u0435 \u0441\u0432\u043E\u044E \u0440\u0430\u0431\u043E\u0442\u0443.",
        {L"&\u041F\u0435\u0440\u0435\u0437\u0430\u0433\u0440\u0443\u0437\u0438\u0442\u044C",
         L"\u041F&\u043E\u0437\u0436\u0435"}};
    const char* lang = getenv("VELMO_EXPECT_LANG");
    std::string l = lang ? lang : "en";
    return l == "de" ? kDe : l == "ru" ? kRu : kEn;
}

// Whether the box shows them: its text, its caption (the countdown's title
// after it, when it counts down) and its two labels.
inline ::testing::AssertionResult ShowsRestartWords(HWND box, bool countdown) {
    const RestartWords& want = RestartWordsForTheRun();
    std::wstring text = e2e::MessageText(box), title = e2e::Text(box);
    std::vector<std::wstring> labels = e2e::ButtonTexts(box);
    bool caption = countdown ? e2e::TitleSuffix(box, want.caption) != L"<none>" : title == want.caption;
    if (text == want.text && caption && labels == std::vector<std::wstring>{want.labels[0], want.labels[1]})
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "the box shows '" << test::Narrow(text) << "', titled '"
                                                 << test::Narrow(title) << "', labels";
    for (const std::wstring& l : labels) failure << " '" << test::Narrow(l) << "'";
    return failure;
}
