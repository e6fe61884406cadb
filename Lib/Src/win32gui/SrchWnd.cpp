#include "win32gui/SrchWnd.h"

#include <exception>

#include "Log/Log.h"

namespace kt {

std::wstring GetWndText(HWND w) {
    LRESULT len = SendMessageW(w, WM_GETTEXTLENGTH, 0, 0);
    if (len <= 0) return std::wstring();
    std::wstring s(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(w, WM_GETTEXT, static_cast<WPARAM>(len) + 1, reinterpret_cast<LPARAM>(&s[0]));
    s.resize(wcsnlen(s.c_str(), s.size()));
    return s;
}

result TStrCmpCmd::run() {
    equal_ = text_ && pattern_ && *text_ == *pattern_;
    return {};
}

BOOL CALLBACK SrchWndProc(HWND w, LPARAM param) {
    auto* st = reinterpret_cast<SrchWndState*>(param);
    // No exception may cross the system's enumeration: it ends the search
    // and becomes the search's result.
    try {
        if (!w) return TRUE;
        if (st->process_id && st->depth == 0) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            // Foreign windows are neither compared nor sent any message.
            if (pid != st->process_id) return TRUE;
        }
        std::wstring text = GetWndText(w);
        if (text.empty()) return TRUE;
        st->cmp->set(&text, &(*st->path)[st->next]);
        st->cmp->run();
        if (!st->cmp->equal()) return TRUE;
        st->last = w;
        st->matches.push(w);
        ++st->next;
        if (st->next >= st->path->size()) return FALSE;
        ++st->depth;
        EnumChildWindows(w, SrchWndProc, param);
        --st->depth;
        // Judged by the state, not by EnumChildWindows' return value, which
        // differs between platforms for a window without children.
        return (st->next >= st->path->size() || !st->failure.ok()) ? FALSE : TRUE;
    } catch (const wexception& e) {
        st->failure = result(ERROR_INTERNAL_ERROR, e.text());
    } catch (const std::exception& e) {
        st->failure = result(ERROR_INTERNAL_ERROR, e.what(), lvlError);
    } catch (...) {
        st->failure = result(ERROR_INTERNAL_ERROR, L"SrchWndProc");
    }
    return FALSE;
}

result SrchWnd(HWND& found, const std::vector<std::wstring>& path) {
    TStrCmpCmd cmp;
    return SrchWnd(found, path, cmp);
}

result SrchWnd(HWND& found, const std::vector<std::wstring>& path, TStrCmpCmd& cmp, DWORD process_id) {
    found = nullptr;
    if (path.empty()) return result(ERROR_INVALID_PARAMETER, L"SrchWnd: empty path");
    SrchWndState st;
    st.cmp = &cmp;
    st.path = &path;
    st.process_id = process_id;
    // A full match stops EnumWindows, which then reports the last error.
    SetLastError(0);
    result res(ErrorUnless(EnumWindows(SrchWndProc, reinterpret_cast<LPARAM>(&st))));
    if (!st.failure.ok()) res = st.failure;
    found = st.last;
    std::wstring list;
    for (const std::wstring& e : path) list += L"'" + e + L"',";
    list.pop_back();
    log_wprintf(get_log(), L"UWE", L"::SrchWnd(%s) found %#010x", list.c_str(), LogPtr(found));
    st.matches.clear();
    return res;
}

}  // namespace kt
