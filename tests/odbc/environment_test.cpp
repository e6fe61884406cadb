#include <gtest/gtest.h>

#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include "odbc/environment.h"
#include "tests/common.h"

namespace {

using kt::odbc::environment;

struct JudgeCase {
    const wchar_t* state;
    const wchar_t* message;
    bool db_code;
    int32_t level;
    const wchar_t* text;
};

TEST(OdbcDiag, JudgesSqlStates) {
    environment env;  // registers the texts
    const JudgeCase cases[] = {
        {L"00000", L"ignored", false, kt::lvlNone, L""},
        {L"01004", L"String data, right truncated", true, kt::lvlWarning, L"[01004] String data, right truncated"},
        {L"01S02", L"", true, kt::lvlWarning, L"[01S02] "},
        {L"IM002", L"Data source name not found", true, kt::lvlError, L"[IM002] Data source name not found"},
        {L"0A000", L"x", true, kt::lvlError, L"[0A000] x"},
        {L"", L"whatever", true, kt::lvlError, L""},
    };
    for (const JudgeCase& c : cases) {
        kt::result r = environment::judge(c.state, c.message);
        EXPECT_EQ(r.code(), c.db_code ? environment::database_error_code() : 0u);
        EXPECT_EQ(r.level(), c.level);
        EXPECT_EQ(r.text(), c.text);
    }
    EXPECT_EQ(kt::ErrorText(environment::database_error_code()), L"Ошибка при обращении к базе данных");
    EXPECT_EQ(kt::ErrorText(environment::no_data_code()), L"Нет данных");
}

TEST(OdbcDiag, RealDiagnosticOfTheDriverManager) {
    environment env;
    ASSERT_NE(environment::handle(), nullptr);
    SQLRETURN rc = SQLSetEnvAttr(static_cast<SQLHENV>(environment::handle()), 9999, nullptr, 0);
    ASSERT_EQ(rc, SQL_ERROR);
    kt::result r = environment::diag(environment::handle(), nullptr, nullptr);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.code(), environment::database_error_code());
    ASSERT_GE(r.text().size(), 8u) << test::Narrow(r.text());
    EXPECT_EQ(r.text()[0], L'[');
    EXPECT_EQ(r.text().substr(6, 2), L"] ");
    EXPECT_NE(r.text().substr(1, 2), L"01");
}

struct DriverManagerCase {
    const wchar_t* dll;
    DWORD code;
    const wchar_t* text;
};

// ODBC32.dll itself; a DLL that System32 lacks; one that lacks the ordinals.
TEST(OdbcDriverManager, LoadedFromSystem32WithItsFourOrdinals) {
    const DriverManagerCase cases[] = {
        {L"ODBC32.dll", 0, L""},
        {L"velmo_no_such_odbc.dll", ERROR_MOD_NOT_FOUND, L"velmo_no_such_odbc.dll"},
        {L"version.dll", ERROR_PROC_NOT_FOUND, L"version.dll #"},
    };
    for (const DriverManagerCase& c : cases) {
        kt::result r = kt::odbc::LoadDriverManager(c.dll);
        EXPECT_EQ(r.code(), c.code) << test::Narrow(c.dll);
        EXPECT_EQ(r.ok(), c.code == 0) << test::Narrow(c.dll);
        EXPECT_EQ(r.text().compare(0, wcslen(c.text), c.text), 0) << test::Narrow(r.text());
    }
}

TEST(OdbcEnvironment, SharedByReferenceCount) {
    ASSERT_EQ(environment::instances(), 0);
    EXPECT_EQ(environment::free().code(), 6u);
    {
        environment first;
        void* h = environment::handle();
        ASSERT_NE(h, nullptr);
        {
            environment second;
            EXPECT_EQ(environment::instances(), 2);
            EXPECT_EQ(environment::handle(), h);  // not allocated again
        }
        EXPECT_EQ(environment::handle(), h);
    }
    EXPECT_EQ(environment::instances(), 0);
    EXPECT_EQ(environment::handle(), nullptr);
    EXPECT_TRUE(environment::last_result().ok());
    EXPECT_EQ(environment::free().code(), 6u);
}

}  // namespace
