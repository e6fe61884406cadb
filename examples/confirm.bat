@echo off
rem Asks before a destructive step. Yes/No, No is the default: when nobody
rem answers within 30 seconds, nothing is deleted.
rem Exit code: 0 the step ran, 1 it was skipped.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=30
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "Delete the old reports?\nThis cannot be undone." "Clean up" "Warning|YesNo|DefButton2" %VELMO_WAIT%
rem "if errorlevel N" is true for N and every higher code: test the highest first.
if errorlevel 7 goto Skip
if errorlevel 6 goto Delete
goto Skip

:Delete
echo Deleting the old reports.
rem del /q "%TEMP%\reports\*.*"
exit /b 0

:Skip
echo Nothing deleted.
exit /b 1
