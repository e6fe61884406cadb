@echo off
rem A nightly job that goes on by itself: OK is the default and is clicked
rem after 60 seconds; only someone at the screen can cancel it.
rem Exit code: 0 the job ran, 1 it was cancelled.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=60
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "The nightly backup starts now.\nCancel to skip it tonight." "Nightly backup" "Information|OkCancel" %VELMO_WAIT%
if errorlevel 2 goto Cancelled
if errorlevel 1 goto Run
goto Cancelled

:Run
echo Running the backup.
exit /b 0

:Cancelled
echo Backup cancelled.
exit /b 1
