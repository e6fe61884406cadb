@echo off
rem The restart prompt of restart-prompt.bat, in the language of the person
rem who sees it: English, German, Russian or Greek, from restart.txt beside
rem this file (UTF-8), so this file's code page does not matter. Run as
rem SYSTEM by a deployment, it asks the person at the screen in theirs.
rem Exit code: 0 restart now, 1 later (the user's choice), 2 nobody answered.
setlocal
if not defined VELMO_WAIT set VELMO_WAIT=300
rem velmo.exe beside this file, one folder up (as unpacked), or on PATH.
set "VELMO=%~dp0velmo.exe"
if not exist "%VELMO%" set "VELMO=%~dp0..\velmo.exe"
if not exist "%VELMO%" set "VELMO=velmo.exe"

rem No text or caption here: restart.txt gives them, and the labels.
"%VELMO%" "" "" "Question|YesNo|DefButton2|ReportTimeout|Guard|Texts=%~dp0restart.txt" %VELMO_WAIT%
rem "if errorlevel N" is true for N and every higher code: test the highest first.
if errorlevel 32000 goto Nobody
if errorlevel 87 goto BadTexts
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

:BadTexts
echo restart.txt is missing or broken: nobody was asked.
exit /b 1

:Nobody
echo Nobody answered: the restart is left for later.
exit /b 2
