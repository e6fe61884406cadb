@echo off
rem Russian text. cmd reads a batch file in the console's OEM code page, so
rem this file is saved in CP866 (the OEM code page of a Russian Windows).
rem On current Windows a UTF-8 file with "chcp 65001" at the top works too.
rem Yes/No, No is the default (30 seconds).
rem Exit code: 0 Yes, 1 No.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=30
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "Соединение будет закрыто.\nПродолжить?" "Подтверждение" "Question|YesNo|DefButton2" %VELMO_WAIT%
if errorlevel 7 goto No
if errorlevel 6 goto Yes
goto No

:Yes
exit /b 0

:No
exit /b 1
