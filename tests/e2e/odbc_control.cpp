// Imports ODBC32.dll the ordinary way (a static import, looked for beside
// the exe first): the control that shows a planted DLL would be loaded.
#include <windows.h>

#include <sql.h>

int main(int argc, char**) {
    // Referenced, so that the import exists; never called.
    SQLRETURN(SQL_API * volatile alloc)(SQLHENV*) = &SQLAllocEnv;
    if (argc > 99) alloc(nullptr);
    return 0;
}
