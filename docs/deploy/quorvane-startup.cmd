@echo off
rem Start-up script: switches USB selective suspend on for the touch panel.
rem Expects quorvane.exe beside it; exits with quorvane.exe's status.
"%~dp0quorvane.exe" -enable
exit /b %ERRORLEVEL%
