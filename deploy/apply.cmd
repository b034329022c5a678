@echo off
rem apply.cmd [-enable] [/restart] [/remove-stale]
rem Runs the quorvane.exe beside this script: with -enable it switches USB
rem selective suspend on for the touch panel, without it off. Appends one line
rem to %SystemRoot%\Logs\Quorvane\quorvane.log, writes one event of the source
rem Quorvane to the Application log, and exits with quorvane.exe's status:
rem 0 written, 1 not written, 2 another copy was running, 3 could not start.
rem With /remove-stale it first removes the touch panel's instances that are
rem not connected, when one is. With /restart and status 0 it also restarts
rem the instance written, so that the setting takes effect now; the status is
rem then 3010 when a reboot is needed to finish. 87: an argument it does not
rem know, or an empty one; nothing was run.
rem
rem It runs as SYSTEM. Windows' programs are called by full path: cmd looks
rem in the current directory first. Registry data (instance names) is never
rem script text: it is read back through for variables, or expanded only
rem inside double quotes, once a name holding a double quote has been set
rem aside; names that hold one are logged, never passed on.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor has no
rem pnputil: run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)

set "switch="
set "restart="
set "stale="
:arguments
rem An empty argument ("" from an empty variable) is not the end of them.
if [%1]==[] goto run
rem Case-sensitive, as quorvane.exe reads it: "-Enable" would silently mean off.
if "%~1"=="-enable" (set "switch=-enable") else if /i "%~1"=="/restart" (set "restart=yes") else if /i "%~1"=="/remove-stale" (set "stale=yes") else goto usage
shift
goto arguments

:run
set "reg=%SystemRoot%\System32\reg.exe"
set "pnputil=%SystemRoot%\System32\pnputil.exe"
set "enum=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum"
set "logs=%SystemRoot%\Logs\Quorvane"
set "removal="
if defined stale call :remove-stale
"%~dp0quorvane.exe" %switch%
set "status=%errorlevel%"
set "exitcode=%status%"
set "key=none"
set "id="
set "present="
set "warning="
set "restarted="
if "%status%"=="0" call :locate
if defined id call :presence
if defined restart if defined id call :restart
call :report
exit /b %exitcode%

:usage
>&2 echo apply.cmd: "%~1" is not an argument. Usage: apply.cmd [-enable] [/restart] [/remove-stale]
exit /b 87

:remove-stale
rem Only while a panel is connected can the others be told apart as stale.
set "removal=; stale none removed: pnputil removes devices from Windows 10 version 2004 on"
if not exist "%pnputil%" goto :eof
set "removable="
for /f "tokens=1,3" %%a in ('%SystemRoot%\System32\reg.exe query "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion" /v CurrentBuildNumber 2^>nul') do (
  if /i "%%a"=="CurrentBuildNumber" if %%b geq 19041 set "removable=yes"
)
if not defined removable goto :eof
set "connected="
call :enumerate connected panel-connected
set "removal=; stale none removed: no touch panel is connected"
if not defined connected goto :eof
set "removed=0"
set "kept=0"
call :enumerate disconnected remove
set "removal=; stale removed %removed%, not removed %kept%"
goto :eof

:panel-connected
if defined connected goto :eof
call :trim
if defined panel set "connected=yes"
goto :eof

:remove
call :trim
if not defined panel goto :eof
if defined quoted (
  set /a "kept+=1"
  for /f "tokens=1,* delims== " %%a in ('set listed') do if "%%a"=="listed" set "line=stale instance not removed, its name holds a double quote: %%b"
  call :append
  goto :eof
)
"%pnputil%" /remove-device "%plain%" >nul 2>&1
set "result=%errorlevel%"
set "outcome=not removed"
if "%result%"=="0" set "outcome=removed"
if "%result%"=="3010" set "outcome=removed"
if "%outcome%"=="removed" (set /a "removed+=1") else set /a "kept+=1"
set "line=stale instance %plain% %outcome%: pnputil status %result%"
call :append
goto :eof

:enumerate
rem Calls :%2 with "listed" set to each value that pnputil prints of the
rem devices it lists as %1 (Windows 10 version 1903 and later).
for /f "tokens=1,* delims=:" %%a in ('%SystemRoot%\System32\pnputil.exe /enum-devices /%1 2^>nul') do (
  set "listed=%%b"
  call :%2
)
goto :eof

:trim
rem "plain": "listed" without double quotes and without the blanks pnputil
rem pads it with; "quoted" when it held a double quote; "panel" when it is an
rem instance of either touch panel. pnputil prints instance IDs upper-cased,
rem whatever case the registry keeps, so all comparisons ignore case.
set "plain="
set "quoted="
set "panel="
if not defined listed goto :eof
set "plain=%listed:"=%"
if not "%plain%"=="%listed:"=#%" set "quoted=yes"
rem (An undefined variable with ":~" would leave text behind and break the line.)
:trim-blank
if not defined plain goto :eof
if "%plain:~0,1%"==" " set "plain=%plain:~1%" & goto trim-blank
if /i "%plain:~0,28%"=="USB\VID_04F3&PID_0026&MI_01\" set "panel=yes"
if /i "%plain:~0,22%"=="USB\VID_0EEF&PID_C069\" set "panel=yes"
goto :eof

:locate
rem The program's own rule: the first of the two device keys that opens, then
rem the first of its instances, in enumeration order, whose Device Parameters
rem key opens. A panel that is not connected may still come first.
set "device=%enum%\USB\VID_04F3&PID_0026&MI_01"
"%reg%" query "%device%" >nul 2>&1
if errorlevel 1 set "device=%enum%\USB\VID_0EEF&PID_C069"
set "key="
for /f "delims=" %%i in ('%SystemRoot%\System32\reg.exe query "%device%" 2^>nul') do (
  set "listed=%%i"
  if not defined key call :instance
  if not defined key if defined id set "key=%%i\Device Parameters"
  if not defined key if defined quoted set "key=unknown - WARNING: the kit does not examine an instance whose name holds a double quote, and this one comes first: %%i"
)
if not defined key set "key=none"
if defined quoted set "warning=yes"
goto :eof

:instance
rem Of the lines reg prints, the keys below the device key. "id" is the
rem instance ID of one whose Device Parameters key opens.
call :trim
if not defined plain set "quoted=" & goto :eof
if /i not "%plain:~0,5%"=="HKEY_" set "quoted=" & goto :eof
if /i "%plain%"=="%device%" set "quoted=" & goto :eof
if defined quoted goto :eof
"%reg%" query "%plain%\Device Parameters" >nul 2>&1
if not errorlevel 1 set "id=%plain:*\Enum\=%"
goto :eof

:presence
rem pnputil lists connected and disconnected devices from Windows 10 version
rem 1903 on; where it cannot, nothing is said either way.
if not exist "%pnputil%" goto :eof
set "same="
call :enumerate connected same
if defined same set "present=; present yes" & goto :eof
call :enumerate disconnected same
if not defined same goto :eof
set "present=; present no - WARNING: this instance is not connected, so the touch panel in use keeps its former setting (see the deployment guide: stale instances)"
set "warning=yes"
goto :eof

:same
if defined same goto :eof
call :trim
if not defined quoted if /i "%plain%"=="%id%" set "same=yes"
goto :eof

:restart
set "again=restart the device or the machine for the setting to take effect"
set "restarted=; restart not done: %again%"
if not exist "%pnputil%" goto :eof
rem pnputil /restart-device exists from Windows 10 version 2004 on; before, it fails.
"%pnputil%" /restart-device "%id%" >nul 2>&1
set "result=%errorlevel%"
if "%result%"=="0" (
  set "restarted=; restart done"
) else if "%result%"=="3010" (
  set "restarted=; restart done, a reboot is needed to finish (3010)"
  set "exitcode=3010"
) else (
  set "restarted=; restart failed (pnputil %result%): %again%"
)
goto :eof

:report
rem One line in the log and one event: 100 written (a warning when the
rem instance written is not connected), 101 not written, 102 the guard was
rem held, 103 the program could not start.
set "shown=%switch%"
if not defined shown set "shown=none"
set "hint="
set "event=103"
set "type=ERROR"
if "%status%"=="0" set "event=100" & set "type=INFORMATION"
if "%status%"=="0" if defined warning set "type=WARNING"
if "%status%"=="1" set "event=101"
if "%status%"=="1" "%reg%" query "%enum%\USB\VID_04F3&PID_0026&MI_01" >nul 2>&1
if "%status%"=="1" if not errorlevel 1 set "hint= - the first touch panel's device key is there, so the second is never looked at (see the deployment guide: stale instances)"
if "%status%"=="2" set "event=102" & set "type=WARNING"
if "%status%"=="2" set "hint= - another program holds the name Quorvane Execute Mutex Name; if this comes at every start, see the deployment guide (status 2)"
for /f "tokens=1,* delims==" %%a in ('set key') do if "%%a"=="key" set "line=switch %shown%; status %status%%hint%; key %%b%present%%restarted%%removal%"
set "noted="
set "eventcreate=%SystemRoot%\System32\eventcreate.exe"
if not exist "%eventcreate%" set "noted=; event not written (no eventcreate)"
rem eventcreate is given the line with any double quote of a name turned into '.
if not defined noted "%eventcreate%" /l APPLICATION /so Quorvane /t %type% /id %event% /d "%line:"='%" >nul 2>&1
if not defined noted if errorlevel 1 set "noted=; event not written (eventcreate %errorlevel%)"
if defined noted for /f "tokens=1,* delims==" %%a in ('set line') do if "%%a"=="line" set "line=%%b%noted%"
call :append
goto :eof

:append
rem Appends "line" through a for variable, which nothing parses again, so that
rem a name is logged exactly as it stands. The log's folder is one that
rem standard users cannot create first; a failed append says so.
if not exist "%logs%\" md "%logs%" 2>nul
set "size="
for %%f in ("%logs%\quorvane.log") do set "size=%%~zf"
for /f "tokens=1,* delims==" %%a in ('set line') do if "%%a"=="line" >>"%logs%\quorvane.log" echo %DATE% %TIME%; %%b
for %%f in ("%logs%\quorvane.log") do if "%%~zf"=="%size%" >&2 echo apply.cmd: could not append to "%%~f"
goto :eof
