@echo off
rem ReportTimeout in a batch file: "if errorlevel N" is true for N and every
rem higher code, so 32000 (nobody answered) is tested first.
"%~dp0velmo.exe" "%VELMO_TEXT%" "Report timeout" "%VELMO_FLAGS%" %VELMO_WAIT%
if errorlevel 32000 goto Nobody
if errorlevel 7 goto No
if errorlevel 6 goto Yes
exit /b 99
:Nobody
exit /b 80
:No
exit /b 70
:Yes
exit /b 60
