@echo off
rem A notice while a command runs: it shows as long as the command does and
rem goes the moment it ends, and the exit code is the command's own. The
rem command here is a stand-in that takes about VELMO_WAIT seconds (ping);
rem put the installer there, as written on its own command line. No button
rem and no limit (0): nothing closes the notice before the command ends.
rem Exit code: the command's, 0 or 3010 (installed, a restart completes it).
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=10
set /a PINGS=VELMO_WAIT+1
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

rem The command's own output goes where velmo's goes: here nowhere.
"%VELMO%" "The update is being installed.\nPlease wait..." "Please wait" "Information|NoButtons|Run" 0 ping -n %PINGS% 127.0.0.1 >nul
if errorlevel 9009 goto NotStarted
if errorlevel 3011 goto Failed
if errorlevel 3010 goto Restart
if errorlevel 1 goto Failed
echo The update is installed.
exit /b 0

:Restart
echo The update is installed: a restart completes it.
exit /b 3010

:NotStarted
echo The installer could not be started.
exit /b 1

:Failed
echo The installation failed.
exit /b 1
