@echo off
rem undo.cmd
rem Deletes SelectiveSuspendOn from every instance of both touch panels that
rem has it, so that the driver falls back to its own default. 1: a value
rem could not be deleted.
setlocal EnableExtensions
set "status=0"
for %%k in ("HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01" "HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069") do (
  for /f "delims=" %%p in ('reg query %%k /s /v SelectiveSuspendOn 2^>nul ^| "%SystemRoot%\System32\find.exe" "HKEY_"') do (
    reg delete "%%p" /v SelectiveSuspendOn /f
    if errorlevel 1 set "status=1"
  )
)
exit /b %status%
