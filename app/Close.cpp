#include "app/Close.h"

#include <userenv.h>

#include <algorithm>
#include <memory>

#include "Log/Log.h"
#include "relay/Dlls.h"

namespace {

const wchar_t kCategory[] = L"APP";

bool OkOnly(const MsgBoxParams& p) { return !p.buttons || (p.flags & MB_TYPEMASK) == MB_OK; }

void Replace(std::wstring& text, const std::wstring& what, const std::wstring& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::wstring::npos; at += with.size()) text.replace(at, what.size(), with);
}

std::wstring WithApps(const std::wstring& text, const std::wstring& apps) {
    std::wstring out = text;
    Replace(out, L"{apps}", apps);
    return out;
}

void LogApp(const kt::RunningApp& app, const wchar_t* how) {
    kt::log_wprintf(kt::get_log(), kCategory, L"%s PID=%04X in session %u of %s: %s", app.image.c_str(),
                    static_cast<unsigned>(app.pid), static_cast<unsigned>(app.session), app.user.c_str(), how);
}

}  // namespace

int Button1Answer(const MsgBoxParams& p) { return OkOnly(p) ? IDOK : static_cast<int>(kt::ButtonItem(p.flags, 0)); }

bool IsButton1(int answer, const MsgBoxParams& p) {
    if (OkOnly(p)) return answer == IDOK || answer == IDCANCEL;
    return answer == static_cast<int>(kt::ButtonItem(p.flags, 0));
}

DWORD OwnSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

void ApplyApps(MsgBoxParams& p, const MsgBoxParams& written, const std::vector<kt::RunningApp>& running) {
    const std::wstring apps = kt::AppsText(running);
    p.text = WithApps(written.text, apps);
    p.caption = WithApps(written.caption, apps);
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) p.look.labels[i] = WithApps(written.look.labels[i], apps);
}

std::function<kt::MsgBoxLook::LiveWords()> FollowApps(const MsgBoxParams& written, DWORD session, bool done_when_none) {
    auto finder = std::make_shared<kt::AppFinder>(written.close.apps);
    const std::wstring text = written.text;
    std::vector<std::wstring> labels(written.look.labels, written.look.labels + kt::kMaxButtons);
    return [finder, text, labels, session, done_when_none] {
        const std::wstring apps = kt::AppsText(finder->Find(session));
        kt::MsgBoxLook::LiveWords words;
        words.done = done_when_none && apps.empty();
        words.text = WithApps(text, apps);
        for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
            if (labels[i].find(L"{apps}") != std::wstring::npos) words.labels[i] = WithApps(labels[i], apps);
        }
        return words;
    };
}

bool Closing::AllEnded() const {
    for (kt::AppEnd e : ends) {
        if (e == kt::aeStillRunning) return false;
    }
    return true;
}

Closing CloseApps(const CloseTerms& terms, DWORD session, const std::vector<kt::RunningApp>& shown, bool with_cmdline) {
    kt::Log* log = kt::get_log();
    kt::AppFinder finder(terms.apps);
    Closing c;
    c.apps = finder.Find(session, with_cmdline);
    // What the box named and is gone now was closed by its person.
    for (const kt::RunningApp& was : shown) {
        bool runs = false;
        for (const kt::RunningApp& now : c.apps) runs |= now.pid == was.pid;
        if (!runs) LogApp(was, kt::AppEndText(kt::aeClosedBefore));
    }
    for (const kt::RunningApp& app : c.apps) {
        const size_t windows = kt::AskToClose(app);
        kt::log_wprintf(log, kCategory, L"%s PID=%04X: asked to close (%u windows)", app.image.c_str(),
                        static_cast<unsigned>(app.pid), static_cast<unsigned>(windows));
    }
    c.ends.assign(c.apps.size(), kt::aeClosedWhenAsked);
    for (size_t i : kt::StillRunning(c.apps, terms.wait_s * 1000)) {
        c.ends[i] = kt::aeStillRunning;
        if (!terms.force) continue;
        if (DWORD e = kt::EndApp(c.apps[i]))
            kt::log_wprintf(log, kCategory, L"%s PID=%04X cannot be ended: %s", c.apps[i].image.c_str(),
                            static_cast<unsigned>(c.apps[i].pid), kt::ErrorText(e).c_str());
        else
            c.ends[i] = kt::aeEnded;
    }
    for (size_t i = 0; i < c.apps.size(); ++i) LogApp(c.apps[i], kt::AppEndText(c.ends[i]));
    return c;
}

ClosingVerdict Verdict(const std::vector<SessionApps>& sessions, bool force, size_t* to_end) {
    size_t running = 0;
    for (const SessionApps& s : sessions) running += s.asked ? s.running : s.found;
    if (to_end) *to_end = running;
    if (running == 0) return cvClosed;
    return force ? cvForce : cvRetry;
}

void Reopen(const Closing& closing) {
    kt::Log* log = kt::get_log();
    for (size_t i = 0; i < closing.apps.size(); ++i) {
        if (closing.ends[i] == kt::aeStillRunning) continue;
        const kt::RunningApp& app = closing.apps[i];
        std::wstring line = app.cmdline.empty() ? L"\"" + app.image + L"\"" : app.cmdline;
        // In its own folder: where it was started is not known.
        const std::wstring folder = app.image.substr(0, app.image.find_last_of(L'\\'));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(app.image.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
            kt::log_wprintf(log, kCategory, L"reopened %s as PID=%04X: %s", app.image.c_str(),
                            static_cast<unsigned>(pi.dwProcessId), line.c_str());
        } else {
            kt::log_wprintf(log, kCategory, L"cannot reopen %s: %s", app.image.c_str(), kt::ErrorText(GetLastError()).c_str());
        }
    }
}

void KeepAppsClosed(HANDLE until, const CloseTerms& terms, DWORD session) {
    kt::AppFinder finder(terms.apps);
    std::vector<DWORD> asked;
    while (kt::WaitPumping(until, 1000) == WAIT_TIMEOUT) {
        for (const kt::RunningApp& app : finder.Find(session)) {
            if (std::find(asked.begin(), asked.end(), app.pid) != asked.end()) continue;
            asked.push_back(app.pid);
            kt::log_wprintf(kt::get_log(), kCategory, L"%s PID=%04X started meanwhile: asked to close (%u windows)",
                            app.image.c_str(), static_cast<unsigned>(app.pid), static_cast<unsigned>(kt::AskToClose(app)));
        }
    }
}

std::wstring AppsValue(const std::vector<kt::AppPattern>& apps) {
    std::wstring value;
    for (const kt::AppPattern& app : apps) value += (value.empty() ? L"" : L",") + app.text;
    return value;
}

namespace {
enum ClosedField : uint16_t { cfFound = 1, cfRunning, cfApps };
}  // namespace

kt::ChannelMessage ClosedMessage(const Closing& closing) {
    kt::ChannelMessage m(kt::ctClosed);
    uint32_t running = 0;
    std::wstring apps;
    for (size_t i = 0; i < closing.apps.size(); ++i) {
        running += closing.ends[i] == kt::aeStillRunning;
        apps += closing.apps[i].image + L": " + kt::AppEndText(closing.ends[i]) + L"\n";
    }
    m.put(cfFound, static_cast<uint32_t>(closing.apps.size()));
    m.put(cfRunning, running);
    m.put(cfApps, apps);
    return m;
}

bool ReadClosed(const kt::ChannelMessage& m, ClosedReport& r) {
    return m.type() == kt::ctClosed && m.get(cfFound, r.found) && m.get(cfRunning, r.running) && m.get(cfApps, r.apps) &&
           r.running <= r.found;
}

int ConcludeClosing(const MsgBoxParams& p, const std::vector<kt::RunningApp>& before,
                    const std::vector<kt::RelayRun::Closed>& reports, Closing* closed) {
    kt::Log* log = kt::get_log();
    std::vector<SessionApps> sessions;
    auto session = [&](DWORD id) -> SessionApps& {
        for (SessionApps& s : sessions) {
            if (s.session == id) return s;
        }
        sessions.push_back(SessionApps{id, false, 0, 0});
        return sessions.back();
    };
    for (const kt::RunningApp& app : before) ++session(app.session).found;
    for (const kt::RelayRun::Closed& r : reports) {
        ClosedReport report;
        // What a person's process tells is logged, never trusted: the apps
        // as they are now decide.
        if (!ReadClosed(r.report, report)) {
            kt::log_wprintf(log, kCategory, L"session %u sent no report of its apps", static_cast<unsigned>(r.session));
            continue;
        }
        session(r.session).asked = true;
        kt::log_wprintf(log, kCategory, L"session %u closed its apps: %u found, %u still running", static_cast<unsigned>(r.session),
                        static_cast<unsigned>(report.found), static_cast<unsigned>(report.running));
    }
    const std::vector<kt::RunningApp> now = kt::AppFinder(p.close.apps).Find(kt::kAllSessions);
    for (const kt::RunningApp& app : now) ++session(app.session).running;
    for (SessionApps& s : sessions) {
        if (!s.asked && s.found) kt::log_wprintf(log, kCategory, L"session %u: nobody was asked to close its apps",
                                                 static_cast<unsigned>(s.session));
    }
    size_t to_end = 0;
    ClosingVerdict verdict = Verdict(sessions, p.close.force, &to_end);
    bool ended = true;
    for (const kt::RunningApp& app : now) {
        if (verdict == cvForce && kt::EndApp(app) == 0) {
            LogApp(app, kt::AppEndText(kt::aeEnded));
        } else {
            ended = false;
            LogApp(app, kt::AppEndText(kt::aeStillRunning));
        }
    }
    if (closed) {
        *closed = Closing();
        for (const kt::RunningApp& app : before) {
            bool runs = false;
            for (const kt::RunningApp& n : now) runs |= n.pid == app.pid;
            closed->apps.push_back(app);
            closed->ends.push_back(runs && !(verdict == cvForce && ended) ? kt::aeStillRunning : kt::aeClosedWhenAsked);
        }
    }
    if (verdict == cvClosed || (verdict == cvForce && ended)) return Button1Answer(p);
    kt::log_printf(log, "APP", "apps still run: 1618");
    return kRetryLater;
}

void ReopenAsTheirPersons(const Closing& closing) {
    kt::Log* log = kt::get_log();
    kt::RelayDlls dlls;
    for (size_t i = 0; i < closing.apps.size(); ++i) {
        const kt::RunningApp& app = closing.apps[i];
        if (closing.ends[i] == kt::aeStillRunning) continue;
        HANDLE t = nullptr;
        kt::unique_handle token(dlls.loaded.ok() && dlls.query_token(app.session, &t) ? t : nullptr);
        LPVOID block = nullptr;
        if (!token || !dlls.create_env(&block, token.get(), FALSE)) {
            kt::log_wprintf(log, kCategory, L"cannot reopen %s in session %u: no token or environment of its person",
                            app.image.c_str(), static_cast<unsigned>(app.session));
            continue;
        }
        std::wstring line = app.cmdline.empty() ? L"\"" + app.image + L"\"" : app.cmdline;
        const std::wstring folder = app.image.substr(0, app.image.find_last_of(L'\\'));
        wchar_t desktop[] = L"WinSta0\\Default";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.lpDesktop = desktop;
        PROCESS_INFORMATION pi{};
        if (CreateProcessAsUserW(token.get(), app.image.c_str(), &line[0], nullptr, nullptr, FALSE,
                                 CREATE_UNICODE_ENVIRONMENT, block, folder.c_str(), &si, &pi)) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
            kt::log_wprintf(log, kCategory, L"reopened %s in session %u as PID=%04X: %s", app.image.c_str(),
                            static_cast<unsigned>(app.session), static_cast<unsigned>(pi.dwProcessId), line.c_str());
        } else {
            kt::log_wprintf(log, kCategory, L"cannot reopen %s in session %u: %s", app.image.c_str(),
                            static_cast<unsigned>(app.session), kt::ErrorText(GetLastError()).c_str());
        }
        dlls.destroy_env(block);
    }
}
