@echo off
rem The help text's sample: Yes ends in Begin (60), No in End (70).
"%~dp0velmo.exe" -esc:~ "Connection will be closed.~nDo you want to proceed?" "Please confirm" "Question|YesNo"
if errorlevel 7 goto End
if errorlevel 6 goto Begin
exit /b 99
:Begin
exit /b 60
:End
exit /b 70
