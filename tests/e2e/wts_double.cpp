// A test double of WTSAPI32.dll, put in the test prefix's system folder for
// one copy of velmo: Wine's own WTSSendMessageW is a stub that fails. The
// session message is recorded (to the file VELMO_WTS_RECORD names, UTF-8)
// and answered as VELMO_WTS_ANSWER says: a number is the response, "fail"
// makes the call fail. The other calls answer as Wine's do: the caller's
// own token, no sessions listed. (Its functions are declared here as they
// are exported; WTS_CURRENT_SERVER_HANDLE is null.)
#include <windows.h>

#include <cstdio>
#include <string>

#include "lib/owner.h"

namespace {

std::string Utf8(const wchar_t* s, DWORD bytes) {
    int n = static_cast<int>(bytes / sizeof(wchar_t));
    std::string out(n * 3 + 1, '\0');
    int got = n ? WideCharToMultiByte(CP_UTF8, 0, s, n, &out[0], static_cast<int>(out.size()), nullptr, nullptr) : 0;
    out.resize(got > 0 ? got : 0);
    return out;
}

std::wstring Env(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
    return n && n < MAX_PATH ? value : L"";
}

}  // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI WTSQueryUserToken(ULONG, PHANDLE token) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return FALSE;
    kt::unique_handle owned(own);
    return DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
}

__declspec(dllexport) BOOL WINAPI WTSEnumerateSessionsW(HANDLE, DWORD, DWORD, void** list, DWORD* count) {
    *list = nullptr;
    *count = 0;
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD, int, LPWSTR*, DWORD*) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID) {}

__declspec(dllexport) BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD session, LPWSTR title, DWORD title_bytes,
                                                  LPWSTR message, DWORD message_bytes, DWORD style, DWORD timeout,
                                                  DWORD* response, BOOL wait) {
    char numbers[160];
    snprintf(numbers, sizeof numbers, "server=%s session=%lu title_bytes=%lu text_bytes=%lu style=0x%lX timeout=%lu wait=%d",
             server == nullptr ? "current" : "other", static_cast<unsigned long>(session), static_cast<unsigned long>(title_bytes),
             static_cast<unsigned long>(message_bytes), static_cast<unsigned long>(style),
             static_cast<unsigned long>(timeout), wait ? 1 : 0);
    std::string record = std::string(numbers) + "\ntitle=" + Utf8(title, title_bytes) + "\ntext=" +
                         Utf8(message, message_bytes) + "\n";
    kt::unique_handle f(CreateFileW(Env(L"VELMO_WTS_RECORD").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, 0, nullptr));
    DWORD put = 0;
    if (f) WriteFile(f.get(), record.data(), static_cast<DWORD>(record.size()), &put, nullptr);
    std::wstring answer = Env(L"VELMO_WTS_ANSWER");
    if (answer.empty() || answer == L"fail") {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    *response = wcstoul(answer.c_str(), nullptr, 10);
    return TRUE;
}

}  // extern "C"
