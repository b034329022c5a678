@echo off
rem install.cmd [-enable] [/restart] [/remove-stale]
rem Copies the kit into %ProgramFiles%\Quorvane, a folder only administrators
rem can change, registers the event source Quorvane with the messages in
rem quorvane-kit.exe, and registers the start-up task Quorvane from
rem quorvane-task.xml as it ships: at every boot, as SYSTEM, it runs
rem startup.cmd, a line this script writes there that runs quorvane-kit.exe
rem with the same arguments. Then runs it once and exits with its status. Run it
rem again to change the arguments or update the kit: it replaces the task and
rem the files. 87: an argument it does not know, or an empty one. 1603: the
rem kit could not be installed. Windows' programs are called by full path: cmd
rem looks in the current directory first.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor would
rem install into "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)

set "arguments="
:arguments
rem An empty argument ("" from an empty variable) is not the end of them.
if [%1]==[] goto install
rem Case-sensitive, as quorvane.exe reads it: "-Enable" would silently mean off.
if "%~1"=="-enable" goto argument
if /i "%~1"=="/restart" goto argument
if /i "%~1"=="/remove-stale" goto argument
goto usage
:argument
set "arguments=%arguments% %~1"
shift
goto arguments

:install
set "folder=%ProgramFiles%\Quorvane"
rem Never replace a file the task is running. Fails when the task is not
rem there or not running.
"%SystemRoot%\System32\schtasks.exe" /end /tn Quorvane >nul 2>&1
if not exist "%folder%\docs\" (
  md "%folder%\docs"
  if errorlevel 1 goto failed
)
for %%f in (quorvane.exe quorvane-kit.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 quorvane-task.xml README.md LICENSE docs\deploying.md) do (
  copy /y "%~dp0%%f" "%folder%\%%f" >nul
  if errorlevel 1 goto failed
)
rem Event Viewer reads the descriptions from the message table in
rem quorvane-kit.exe. eventcreate marks the sources it makes (CustomSource)
rem and writes to no other: an earlier kit's source becomes this one.
set "source=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvane"
"%SystemRoot%\System32\reg.exe" add "%source%" /v EventMessageFile /t REG_EXPAND_SZ /d "%folder%\quorvane-kit.exe" /f >nul
if errorlevel 1 goto failed
"%SystemRoot%\System32\reg.exe" add "%source%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto failed
"%SystemRoot%\System32\reg.exe" delete "%source%" /v CustomSource /f >nul 2>&1
rem The task's own definition names startup.cmd, so that it registers byte for
rem byte as it ships; the arguments live here.
if exist "%folder%\startup.cmd" del "%folder%\startup.cmd"
>"%folder%\startup.cmd" echo @"%%~dp0quorvane-kit.exe"%arguments%
if not exist "%folder%\startup.cmd" goto failed
"%SystemRoot%\System32\schtasks.exe" /create /tn Quorvane /xml "%folder%\quorvane-task.xml" /f >nul
if errorlevel 1 goto failed
"%folder%\quorvane-kit.exe"%arguments%
exit /b %errorlevel%

:usage
>&2 echo install.cmd: "%~1" is not an argument. Usage: install.cmd [-enable] [/restart] [/remove-stale]
exit /b 87

:failed
>&2 echo install.cmd: could not install into "%folder%" or register the task Quorvane
exit /b 1603
