@echo off
rem After an update: asks whether to restart now. The buttons say what they
rem do; "Later" is the default, so when nobody answers within 5 minutes the
rem job goes on without a restart and says so. Guard: a key pressed in
rem another window as the box appears does not answer it.
rem Exit code: 0 restart now, 1 later (the user's choice), 2 nobody answered.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=300
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "Updates are installed.\nRestart now?" "Updates" "Question|YesNo|DefButton2|ReportTimeout|Guard|Button1=&Restart now|Button2=&Later" %VELMO_WAIT%
rem "if errorlevel N" is true for N and every higher code: test the highest first.
if errorlevel 32000 goto Nobody
if errorlevel 7 goto Later
if errorlevel 6 goto Restart
goto Later

:Restart
echo Restarting now.
rem shutdown /r /t 0
exit /b 0

:Later
echo The restart is left for later.
exit /b 1

:Nobody
echo Nobody answered: the restart is left for later.
exit /b 2
