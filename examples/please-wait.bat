@echo off
rem A notice without buttons that closes itself: the user cannot dismiss it,
rem the batch file waits until it has gone (10 seconds).
rem Exit code: 0 once the notice has closed. velmo returns the system box's
rem answer for it: 2 under Wine, 1 on Windows; both are taken.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=10
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "The server restarts now.\nPlease wait..." "Please wait" "Information|NoButtons" %VELMO_WAIT%
if errorlevel 3 goto Unexpected
if errorlevel 1 goto Done
:Unexpected
exit /b 9

:Done
echo The notice has closed.
exit /b 0
