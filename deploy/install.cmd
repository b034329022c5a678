@echo off
rem install.cmd [-enable] [/restart] [/remove-stale]
rem Copies the kit into %ProgramFiles%\Quorvane, a folder only administrators
rem can change, and registers the start-up task Quorvane from
rem quorvane-task.xml as it ships: at every boot, as SYSTEM, it runs
rem startup.cmd, a line this script writes there that runs apply.cmd with the
rem same arguments. Then runs apply.cmd once and exits with its status. Run it
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
rem cmd reads a running script as it goes: never replace apply.cmd under the
rem task's feet. Fails when the task is not there or not running.
"%SystemRoot%\System32\schtasks.exe" /end /tn Quorvane >nul 2>&1
if not exist "%folder%\docs\" (
  md "%folder%\docs"
  if errorlevel 1 goto failed
)
for %%f in (quorvane.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 quorvane-task.xml README.md LICENSE docs\deploying.md) do (
  copy /y "%~dp0%%f" "%folder%\%%f" >nul
  if errorlevel 1 goto failed
)
rem The task's own definition names startup.cmd, so that it registers byte for
rem byte as it ships; the arguments live here.
if exist "%folder%\startup.cmd" del "%folder%\startup.cmd"
>"%folder%\startup.cmd" echo @"%%~dp0apply.cmd"%arguments%
if not exist "%folder%\startup.cmd" goto failed
"%SystemRoot%\System32\schtasks.exe" /create /tn Quorvane /xml "%folder%\quorvane-task.xml" /f >nul
if errorlevel 1 goto failed
rem A command processor of its own, not "call": Wine's "call" loses the status.
"%SystemRoot%\System32\cmd.exe" /d /c ^""%folder%\apply.cmd"%arguments%^"
exit /b %errorlevel%

:usage
>&2 echo install.cmd: "%~1" is not an argument. Usage: install.cmd [-enable] [/restart] [/remove-stale]
exit /b 87

:failed
>&2 echo install.cmd: could not install into "%folder%" or register the task Quorvane
exit /b 1603
