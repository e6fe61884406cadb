@echo off
rem Before an installation: the person may put it off three times (the key
rem example-office counts them between runs), then it goes ahead. "Later"
rem is the default: a box nobody answers ends on it without using a
rem deferral, and the deployment tries again; once none is left, "Later" is
rem greyed and the countdown clicks "Install now".
rem Exit code: 0 installed, 1618 put off (Intune and Configuration Manager
rem retry this code by default).
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=300
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

"%VELMO%" "Office is about to be installed.\nSave your work first. You may put it off {left} more times." "IT department" "Question|YesNo|DefButton2|Button1=&Install now|Button2=&Later ({left} left)|Defer=example-office:3" %VELMO_WAIT%
rem "if errorlevel N" is true for N and every higher code: test the highest first.
if errorlevel 7 goto Later
if errorlevel 6 goto Install
goto Later

:Install
echo Installing.
rem setup.exe /configure office.xml
exit /b 0

:Later
echo Put off: the deployment tries again later.
exit /b 1618
