#include "odbc/environment.h"

#include <sql.h>
#include <sqlext.h>

namespace kt {
namespace odbc {

DWORD LoadFromSystem32() {
    using SetDirs = BOOL(WINAPI*)(DWORD);
    // Looked up: systems before Windows 8 without KB2533623 lack it.
    auto set_dirs = reinterpret_cast<SetDirs>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_dirs && set_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 0;
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0) return GetLastError();
    if (n >= MAX_PATH) return ERROR_BUFFER_OVERFLOW;
    // Once loaded from there, the delay-load helper finds it by name.
    return ErrorUnless(LoadLibraryW((std::wstring(dir) + L"\\ODBC32.dll").c_str()) != nullptr);
}

namespace {
SQLHENV g_env = nullptr;
int32_t g_instances = 0;
uint32_t g_db_error = 0;
uint32_t g_no_data = 0;
bool g_registered = false;
}  // namespace

environment::environment() {
    if (!g_registered) {
        g_db_error = RegisterErrorText(L"Ошибка при обращении к базе данных");
        g_no_data = RegisterErrorText(L"Нет данных");
        g_registered = true;
    }
    if (g_instances++ == 0) alloc();
}

environment::~environment() {
    if (g_instances-- == 1) free();
}

result environment::alloc() {
    SQLHENV env = nullptr;
    SQLRETURN rc = SQLAllocEnv(&env);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return diag(env, nullptr, nullptr);
    g_env = env;
    SQLSetEnvAttr(g_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return {};
}

result environment::free() {
    if (!g_env) return result(ERROR_INVALID_HANDLE);
    SQLRETURN rc = SQLFreeEnv(g_env);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return diag(g_env, nullptr, nullptr);
    g_env = nullptr;
    return {};
}

result environment::diag(void* env, void* dbc, void* stmt) {
    SQLWCHAR state[6] = {};
    SQLWCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLErrorW(static_cast<SQLHENV>(env), static_cast<SQLHDBC>(dbc), static_cast<SQLHSTMT>(stmt), state, &native,
              message, 512, &length);
    return judge(std::wstring(reinterpret_cast<wchar_t*>(state), wcsnlen(reinterpret_cast<wchar_t*>(state), 6)),
                 std::wstring(reinterpret_cast<wchar_t*>(message), wcsnlen(reinterpret_cast<wchar_t*>(message), 512)));
}

result environment::judge(const std::wstring& state, const std::wstring& message) {
    if (state == L"00000") return {};
    if (state.empty()) return result(g_db_error);
    int32_t level = state.compare(0, 2, L"01") == 0 ? lvlWarning : lvlError;
    return result(g_db_error, L"[" + state + L"] " + message, level);
}

void* environment::handle() { return g_env; }
int32_t environment::instances() { return g_instances; }
uint32_t environment::database_error_code() { return g_db_error; }
uint32_t environment::no_data_code() { return g_no_data; }

}  // namespace odbc
}  // namespace kt
