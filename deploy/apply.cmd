@echo off
rem apply.cmd [-enable] [/restart]
rem Runs the quorvane.exe beside this script: with -enable it switches USB
rem selective suspend on for the touch panel, without it off. Appends one line
rem to %ProgramData%\Quorvane\quorvane.log and exits with quorvane.exe's status:
rem 0 written, 1 not written, 2 another copy was running, 3 could not start.
rem With /restart and status 0 it also restarts that device instance, so that
rem the setting takes effect now; the status is then 3010 when a reboot is
rem needed to finish. 87: an argument it does not know; nothing was run.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor has no
rem pnputil: run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ""%~f0" %*"
  exit /b
)

set "switch="
set "restart="
:arguments
if "%~1"=="" goto run
rem Case-sensitive, as quorvane.exe reads it: "-Enable" would silently mean off.
if "%~1"=="-enable" (set "switch=-enable") else if /i "%~1"=="/restart" (set "restart=yes") else goto usage
shift
goto arguments

:run
"%~dp0quorvane.exe" %switch%
set "status=%errorlevel%"
set "exitcode=%status%"
set "key=none"
set "present="
set "restarted="
set "pnputil=%SystemRoot%\System32\pnputil.exe"
if "%status%"=="0" call :locate
if not "%key%"=="none" call :presence
if defined restart if not "%key%"=="none" call :restart
call :log
exit /b %exitcode%

:usage
>&2 echo apply.cmd: "%~1" is not an argument. Usage: apply.cmd [-enable] [/restart]
exit /b 87

:locate
rem The program's own rule: the first of the two device keys that opens, then
rem the first of its instances, in enumeration order, whose Device Parameters
rem key opens. A panel that is not connected may still come first.
set "device=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01"
reg query "%device%" >nul 2>&1
if errorlevel 1 set "device=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069"
rem "if defined" is read as each line comes, where "%key%" would be read once.
set "found="
for /f "delims=" %%i in ('reg query "%device%" 2^>nul ^| "%SystemRoot%\System32\find.exe" "HKEY_"') do (
  if not defined found if /i not "%%i"=="%device%" (
    reg query "%%i\Device Parameters" >nul 2>&1
    if not errorlevel 1 (
      set "key=%%i\Device Parameters"
      set "found=yes"
    )
  )
)
goto :eof

:presence
rem pnputil lists connected and disconnected devices from Windows 10 1903 on;
rem where it cannot, nothing is said either way. It prints the instance ID as
rem the registry names it, so a plain find will do.
set "id=%key:*\Enum\=%"
set "id=%id:\Device Parameters=%"
if not exist "%pnputil%" goto :eof
"%pnputil%" /enum-devices /connected /instanceid "%id%" 2>nul | "%SystemRoot%\System32\find.exe" "%id%" >nul
if not errorlevel 1 (
  set "present=yes"
  goto :eof
)
"%pnputil%" /enum-devices /disconnected /instanceid "%id%" 2>nul | "%SystemRoot%\System32\find.exe" "%id%" >nul
if not errorlevel 1 set "present=no - WARNING: this instance is not connected, so the touch panel in use keeps its former setting (see the deployment guide: stale instances)"
goto :eof

:restart
set "restarted=not done: restart the device or the machine for the setting to take effect"
if not exist "%pnputil%" goto :eof
rem pnputil /restart-device exists from Windows 10 2004 on; before, it fails.
"%pnputil%" /restart-device "%id%" >nul 2>&1
set "result=%errorlevel%"
if "%result%"=="0" (
  set "restarted=done"
) else if "%result%"=="3010" (
  set "restarted=done, a reboot is needed to finish (3010)"
  set "exitcode=3010"
) else (
  set "restarted=failed (pnputil %result%): restart the device or the machine for the setting to take effect"
)
goto :eof

:log
set "shown=%switch%"
if not defined shown set "shown=none"
set "entry=%DATE% %TIME%; switch %shown%; status %status%; key %key%"
if defined present set "entry=%entry%; present %present%"
if defined restarted set "entry=%entry%; restart %restarted%"
set "logs=%ProgramData%\Quorvane"
if not exist "%logs%\" md "%logs%" 2>nul
rem Through a for variable, which nothing parses again: instance names may
rem hold "&" and "!".
for /f "delims=" %%e in ("%entry%") do >>"%logs%\quorvane.log" echo %%e
goto :eof
