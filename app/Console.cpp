#include "app/Console.h"

#include "app/CmdLine.h"

namespace {
struct Answer {
    int code;
    const char* name;
};
const Answer kAnswers[] = {
    {IDOK, "OK"},       {IDCANCEL, "Cancel"},       {IDABORT, "Abort"},         {IDRETRY, "Retry"},
    {IDIGNORE, "Ignore"}, {IDYES, "Yes"},           {IDNO, "No"},               {IDTRYAGAIN, "TryAgain"},
    {IDCONTINUE, "Continue"}, {kExitTimedOut, "Timeout"},
};
}  // namespace

const char* AnswerName(int code) {
    for (const Answer& a : kAnswers) {
        if (a.code == code) return a.name;
    }
    return nullptr;
}

std::string RedirectedText(const std::wstring& text, UINT cp) {
    std::wstring crlf;
    for (wchar_t c : text) {
        if (c == L'\n') crlf += L'\r';
        crlf += c;
    }
    if (crlf.empty()) return std::string();
    int n = WideCharToMultiByte(cp, 0, crlf.data(), static_cast<int>(crlf.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(cp, 0, crlf.data(), static_cast<int>(crlf.size()), &out[0], n, nullptr, nullptr);
    return out;
}

DWORD WriteText(HANDLE h, const std::wstring& text) {
    if (!h || h == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(h, &mode)) {
        return kt::ErrorUnless(WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    UINT cp = GetConsoleOutputCP();
    std::string bytes = RedirectedText(text, cp ? cp : GetOEMCP());
    if (bytes.empty()) return 0;
    return kt::ErrorUnless(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}
