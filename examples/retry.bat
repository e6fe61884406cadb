@echo off
rem Abort/Retry/Ignore around a step that may fail. Retry runs the step again;
rem Ignore (the default, clicked after 30 seconds) goes on without it.
rem Exit code: 0 the step worked, 1 aborted, 2 ignored.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=30
if not defined SOURCE set "SOURCE=%~dp0report.txt"
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

:Try
copy /y "%SOURCE%" "%TEMP%\" >nul 2>&1
if not errorlevel 1 goto Copied
"%VELMO%" "Could not copy the report." "Copy failed" "Error|AbortRetryIgnore|DefButton3" %VELMO_WAIT%
if errorlevel 5 goto Ignored
if errorlevel 4 goto Try
if errorlevel 3 goto Aborted
goto Aborted

:Copied
echo Copied.
exit /b 0

:Aborted
echo Aborted.
exit /b 1

:Ignored
echo Going on without the copy.
exit /b 2
