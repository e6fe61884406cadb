#include "odbc/environment.h"

#include <sql.h>
#include <sqlext.h>

#include "Log/Log.h"
#include "lib/owner.h"

namespace kt {
namespace odbc {

namespace {
// The driver manager's functions that velmo imports: SQLAllocEnv,
// SQLFreeEnv, SQLSetEnvAttr, SQLErrorW.
const WORD kOrdinals[] = {2, 15, 75, 110};
}  // namespace

DWORD LoadFromSystem32() {
    using SetDirs = BOOL(WINAPI*)(DWORD);
    // Looked up: systems before Windows 8 without KB2533623 lack it.
    auto set_dirs = reinterpret_cast<SetDirs>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_dirs && set_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 0;
    std::wstring path;
    if (DWORD e = System32Path(L"ODBC32.dll", path)) return e;
    // Once loaded from there, the delay-load helper finds it by name.
    return ErrorUnless(LoadLibraryW(path.c_str()) != nullptr);
}

result LoadDriverManager(const std::wstring& dll) {
    std::wstring path;
    if (DWORD e = System32Path(dll, path)) return result(e, dll);
    // By its full path: only System32's copy, whatever the search order.
    unique_module m(LoadLibraryW(path.c_str()));
    if (!m) {
        DWORD e = GetLastError();
        return result(e ? e : ERROR_MOD_NOT_FOUND, dll);
    }
    for (WORD ordinal : kOrdinals) {
        if (!GetProcAddress(m.get(), MAKEINTRESOURCEA(ordinal)))
            return result(ERROR_PROC_NOT_FOUND, dll + L" #" + std::to_wstring(ordinal));
    }
    m.release();
    return {};
}

namespace {
SQLHENV g_env = nullptr;
int32_t g_instances = 0;
uint32_t g_db_error = 0;
uint32_t g_no_data = 0;
bool g_registered = false;
// The results below are built on first use: the one instance is built
// before this file's own static objects.
// What the check of the driver manager gave, made once per process.
const result& DriverManager() {
    static const result dm = LoadDriverManager();
    return dm;
}
result& LastResult() {
    static result last;
    return last;
}

// Keeps the outcome and logs it when it is a failure.
void Record(const wchar_t* what, const result& r) {
    LastResult() = r;
    if (!r.ok()) log_wprintf(get_log(), L"ODB", L"ODBC environment %s failed: %s", what, r.str().c_str());
}
}  // namespace

environment::environment() {
    if (!g_registered) {
        g_db_error = RegisterErrorText(L"Ошибка при обращении к базе данных");
        g_no_data = RegisterErrorText(L"Нет данных");
        g_registered = true;
    }
    if (g_instances++ == 0) Record(L"alloc", alloc());
}

environment::~environment() {
    // Nothing to free when nothing was allocated.
    if (g_instances-- == 1 && g_env) Record(L"free", free());
}

result environment::alloc() {
    if (!DriverManager().ok()) return DriverManager();
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

const result& environment::last_result() { return LastResult(); }
void* environment::handle() { return g_env; }
int32_t environment::instances() { return g_instances; }
uint32_t environment::database_error_code() { return g_db_error; }
uint32_t environment::no_data_code() { return g_no_data; }

}  // namespace odbc
}  // namespace kt
