#include "relay/Dlls.h"

namespace kt {

RelayDlls::RelayDlls() {
    if (Load(L"WTSAPI32.dll", wtsapi_) && Load(L"USERENV.dll", userenv_)) {
        Proc(wtsapi_, "WTSQueryUserToken", query_token) && Proc(wtsapi_, "WTSEnumerateSessionsW", enumerate) &&
            Proc(wtsapi_, "WTSQuerySessionInformationW", query_info) && Proc(wtsapi_, "WTSFreeMemory", free) &&
            Proc(wtsapi_, "WTSSendMessageW", send_message) && Proc(userenv_, "CreateEnvironmentBlock", create_env) &&
            Proc(userenv_, "DestroyEnvironmentBlock", destroy_env) &&
            Proc(userenv_, "GetUserProfileDirectoryW", profile_dir);
    }
    if (loaded.ok()) {
        register_notification = reinterpret_cast<decltype(register_notification)>(
            reinterpret_cast<void*>(GetProcAddress(wtsapi_.get(), "WTSRegisterSessionNotificationEx")));
        unregister_notification = reinterpret_cast<decltype(unregister_notification)>(
            reinterpret_cast<void*>(GetProcAddress(wtsapi_.get(), "WTSUnRegisterSessionNotificationEx")));
        if (!register_notification || !unregister_notification) register_notification = nullptr;
    }
}

bool RelayDlls::Load(const wchar_t* name, unique_module& m) {
    std::wstring path;
    if (DWORD e = System32Path(name, path)) {
        loaded = result(e, name);
        return false;
    }
    // Its own dependencies are looked for in System32 first, too.
    m.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!m) loaded = LastErrorResult(name);
    return static_cast<bool>(m);
}

}  // namespace kt
