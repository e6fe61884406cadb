@echo off
rem An Outlook add-in update: Outlook must be closed while it installs.
rem When Outlook does not run, nobody is asked and the update installs at
rem once. Else the person sees Outlook named, and may put the update off
rem twice; "Update now" asks Outlook to close as they would close it (so it
rem asks them to save anything unsaved), waits up to two minutes, and only
rem then installs, Outlook kept closed meanwhile and started again after.
rem Nothing is ended by force: where Outlook would not close, the job ends
rem with 1618, which Intune and Configuration Manager retry.
rem Exit code: 0 installed, 1618 put off or Outlook still open.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=300
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "The Outlook add-in is about to be updated. These apps close first:\n{apps}\nYou may put it off {left} more times." "IT department" "Question|YesNo|DefButton2|Button1=&Update now|Button2=&Later ({left} left)|Defer=example-addin:2|CloseApps=outlook|CloseWait=120" %VELMO_WAIT%
if errorlevel 1618 goto Later
if errorlevel 7 goto Later
if errorlevel 6 goto Install
goto Later

:Install
rem Outlook is closed now; the notice keeps it closed while the installer
rem runs, and Reopen starts it again afterwards. (ping stands in for the
rem installer: msiexec.exe /i addin.msi /qn.)
"%VELMO%" "The Outlook add-in is being updated.\nPlease wait..." "IT department" "Information|NoButtons|Run|CloseApps=outlook|CloseWait=120|Reopen" 0 ping -n 3 127.0.0.1 >nul
if errorlevel 1618 goto Later
if errorlevel 1 goto Failed
echo The add-in is updated.
exit /b 0

:Failed
echo The update failed.
exit /b 1603

:Later
echo Put off: the deployment tries again later.
exit /b 1618
