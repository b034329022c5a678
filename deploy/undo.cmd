@echo off
rem undo.cmd
rem Deletes SelectiveSuspendOn from every instance of both touch panels that
rem has it, so that the driver falls back to its own default. 1: a value
rem could not be deleted. 87: it was given an argument; nothing was deleted.
rem 1603: it was run from a folder that standard users can change; nothing
rem was deleted.
rem reg is called by full path: cmd looks in the current directory first.
setlocal EnableExtensions DisableDelayedExpansion
rem It takes no arguments: "/?" must not delete anything.
if not [%1]==[] (
  >&2 echo undo.cmd: "%~1" is not an argument. Usage: undo.cmd
  exit /b 87
)
rem Nothing from a folder that standard users can change may run as SYSTEM.
"%~dp0quorvane-kit.exe" /check-source undo.cmd
if errorlevel 1 (
  >&2 echo undo.cmd: nothing was deleted
  exit /b 1603
)
set "status=0"
for %%k in ("HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01" "HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069") do (
  for /f "delims=" %%p in ('%SystemRoot%\System32\reg.exe query %%k /s /v SelectiveSuspendOn 2^>nul') do (
    set "line=%%p"
    call :delete
  )
)
exit /b %status%

:delete
rem Of the lines reg prints, the keys that hold the value. A key name is
rem expanded only inside double quotes, once a name holding one is set aside.
set "plain=%line:"=%"
if not defined plain goto :eof
if /i not "%plain:~0,5%"=="HKEY_" goto :eof
if "%plain%"=="%line:"=#%" goto plain
for /f "tokens=1,* delims==" %%a in ('set line') do if "%%a"=="line" >&2 echo undo.cmd: not deleted, the key name holds a double quote: %%b
set "status=1"
goto :eof
:plain
"%SystemRoot%\System32\reg.exe" delete "%plain%" /v SelectiveSuspendOn /f
if errorlevel 1 set "status=1"
goto :eof
