// The apps of CloseApps=: what an item is, and which processes' images it
// matches; the names {apps} shows.
#include <gtest/gtest.h>

#include "tests/common.h"
#include "win32gui/Apps.h"

namespace {

using kt::AppPattern;

TEST(Apps, WhatAnItemIs) {
    const struct {
        const wchar_t* value;
        std::vector<AppPattern> apps;  // empty: refused
        const wchar_t* why;
    } cases[] = {
        {L"winword", {{AppPattern::apName, L"winword"}}, L""},
        {L"OUTLOOK.EXE, teams", {{AppPattern::apName, L"OUTLOOK.EXE"}, {AppPattern::apName, L"teams"}}, L""},
        {L"C:\\Program Files\\Contoso\\app.exe", {{AppPattern::apPath, L"C:\\Program Files\\Contoso\\app.exe"}}, L""},
        {L"C:/Tools/x.exe", {{AppPattern::apPath, L"C:\\Tools\\x.exe"}}, L""},
        {L"C:\\Program Files\\Contoso\\", {{AppPattern::apFolder, L"C:\\Program Files\\Contoso\\"}}, L""},
        {L"\\\\server\\share\\lob\\", {{AppPattern::apFolder, L"\\\\server\\share\\lob\\"}}, L""},
        {L"", {}, L"an empty item"},
        {L"a,", {}, L"an empty item"},
        {L" , b", {}, L"an empty item"},
        {L"Contoso\\app.exe", {}, L"not a full path 'Contoso\\app.exe'"},
        {L"C:app.exe", {}, L"not a full path 'C:app.exe'"},
        {L"\\\\\\x", {}, L"not a full path '\\\\\\x'"},
        {L"C:\\a\\\\b.exe", {}, L"not a full path 'C:\\a\\\\b.exe'"},
        {L"win*", {}, L"not an exe's name 'win*'"},
        {L"a\"b", {}, L"not an exe's name 'a\"b'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Narrow(c.value));
        std::vector<AppPattern> apps;
        std::wstring why;
        EXPECT_EQ(kt::ParseApps(c.value, apps, why), !c.apps.empty());
        if (c.apps.empty()) {
            EXPECT_EQ(why, c.why);
        } else {
            EXPECT_EQ(apps, c.apps);
        }
    }
}

// By the process's full image path, never by a window: names in any letter
// case with or without .exe, a path as a whole, a folder at any depth and
// no neighbour that shares its start.
TEST(Apps, WhichImagesMatch) {
    const AppPattern word{AppPattern::apName, L"winword"}, outlook{AppPattern::apName, L"OUTLOOK.EXE"},
        com{AppPattern::apName, L"tool.com"},
        path{AppPattern::apPath, L"C:\\Program Files\\Contoso\\app.exe"},
        folder{AppPattern::apFolder, L"C:\\Program Files\\Contoso\\"};
    const struct {
        const AppPattern* app;
        const wchar_t* image;
        bool match;
    } cases[] = {
        {&word, L"C:\\Program Files\\Microsoft Office\\root\\Office16\\WINWORD.EXE", true},
        {&word, L"C:\\x\\winword.exe", true},
        {&word, L"C:\\x\\winword2.exe", false},
        {&word, L"C:\\x\\mywinword.exe", false},
        {&word, L"C:\\winword\\other.exe", false},
        {&word, L"C:\\x\\winword.exe.bak", false},
        {&outlook, L"C:\\Office\\outlook.exe", true},
        {&outlook, L"C:\\Office\\OUTLOOK.EXE.exe", false},
        {&com, L"C:\\bin\\TOOL.COM", true},
        {&com, L"C:\\bin\\tool.com.exe", true},
        {&path, L"c:\\program files\\contoso\\APP.EXE", true},
        {&path, L"C:\\Program Files\\Contoso\\sub\\app.exe", false},
        {&path, L"D:\\Program Files\\Contoso\\app.exe", false},
        {&folder, L"C:\\Program Files\\Contoso\\app.exe", true},
        {&folder, L"C:\\PROGRAM FILES\\CONTOSO\\bin\\x64\\helper.exe", true},
        {&folder, L"C:\\Program Files\\Contoso2\\app.exe", false},
        {&folder, L"C:\\Program Files\\Contoso", false},
        {&folder, L"C:\\Program Files\\Contoso\\", false},
        {&folder, L"C:\\Program Files\\Cont\\app.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kt::AppMatches(*c.app, c.image), c.match) << test::Narrow(c.app->text) << " / " << test::Narrow(c.image);
    }
    EXPECT_TRUE(kt::AnyApp({word, folder}, L"C:\\Program Files\\Contoso\\x.exe"));
    EXPECT_FALSE(kt::AnyApp({word, folder}, L"C:\\Program Files\\Contoso2\\x.exe"));
    EXPECT_FALSE(kt::AnyApp({}, L"C:\\x\\winword.exe"));
}

// {apps}: each app once, however many processes it has, in the order found.
TEST(Apps, EachAppNamedOnce) {
    auto app = [](const wchar_t* name) {
        kt::RunningApp a;
        a.name = name;
        return a;
    };
    EXPECT_EQ(kt::AppsText({app(L"Notepad"), app(L"Wine Registry Editor"), app(L"notepad"), app(L"Notepad")}),
              L"Notepad\nWine Registry Editor");
    EXPECT_EQ(kt::AppsText({}), L"");
}

// Names as the person knows them: a program with a version resource by its
// description, one without by its exe's name (this test program has none).
TEST(Apps, NamesFromTheVersionResource) {
    wchar_t windows[MAX_PATH], system[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(kt::FileDescription(std::wstring(windows) + L"\\regedit.exe"), L"Wine Registry Editor");
    EXPECT_EQ(kt::FileDescription(std::wstring(system) + L"\\notepad.exe"), L"");
    // This test program: found by its own name, with its command line.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(exe.find_last_of(L'\\') + 1);
    kt::AppFinder finder({{AppPattern::apName, exe}});
    // The finder leaves its own process out: a child of this exe stands in.
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=Nothing.Here --extra-word";
    ASSERT_TRUE(CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));
    kt::unique_handle process(pi.hProcess), thread(pi.hThread);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const std::vector<kt::RunningApp> found = finder.Find(session, true);
    // Again with the list kept from the first search; none in another session.
    const size_t again = finder.Find(kt::kAllSessions).size();
    const size_t elsewhere = finder.Find(session + 1).size();
    TerminateProcess(process.get(), 0);
    EXPECT_EQ(again, 1u);
    EXPECT_EQ(elsewhere, 0u);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, pi.dwProcessId);
    EXPECT_EQ(found[0].name, exe.substr(0, exe.size() - 4));
    EXPECT_EQ(found[0].session, session);
    EXPECT_EQ(found[0].cmdline, line);
    EXPECT_NE(found[0].user, L"?");
}

}  // namespace
