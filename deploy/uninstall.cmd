@echo off
rem uninstall.cmd
rem Removes the start-up task Quorvane, the event source Quorvane (its messages
rem go with the kit) and %ProgramFiles%\Quorvane, whether it is run from the
rem package or from that folder itself. Leaves the value SelectiveSuspendOn
rem (undo.cmd deletes it) and the log in %SystemRoot%\Logs\Quorvane. 1603:
rem something could not be removed, or it was run from a folder that standard
rem users can change. 87: it was given an argument; nothing was removed.
setlocal EnableExtensions DisableDelayedExpansion
rem It takes no arguments: "/?" must not remove anything.
if not [%1]==[] (
  >&2 echo uninstall.cmd: "%~1" is not an argument. Usage: uninstall.cmd
  exit /b 87
)
rem Some management agents are 32-bit, and a 32-bit command processor would
rem look in "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)

set "folder=%ProgramFiles%\Quorvane"
rem Nothing from a folder that standard users can change may run as SYSTEM.
"%~dp0quorvane-kit.exe" /check-source uninstall.cmd
if errorlevel 1 (
  >&2 echo uninstall.cmd: nothing was removed
  exit /b 1603
)
rem Read before the cd below: cmd may resolve %~dp0 against the current
rem directory. Started through a short (8.3) name of the folder, the script is
rem in it all the same: both are compared in their short form.
for %%h in ("%~dp0.") do set "here=%%~sfh"
for %%f in ("%folder%") do set "installed=%%~sff"
rem No current directory inside the folder, and none where a user may have
rem put a program of a Windows name.
cd /d "%SystemRoot%"
rem Fails when there is no such task; what counts is that none is left. Users
rem may create files in System32\Tasks, so the file alone proves nothing on
rem Windows; Wine's /query finds every name, so the query alone proves nothing
rem there.
"%SystemRoot%\System32\schtasks.exe" /end /tn Quorvane >nul 2>&1
"%SystemRoot%\System32\schtasks.exe" /delete /tn Quorvane /f >nul 2>&1
"%SystemRoot%\System32\schtasks.exe" /query /tn Quorvane >nul 2>&1
if not errorlevel 1 if exist "%SystemRoot%\System32\Tasks\Quorvane" (
  >&2 echo uninstall.cmd: could not remove the task Quorvane
  exit /b 1603
)
"%SystemRoot%\System32\reg.exe" delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvane" /f >nul 2>&1
rem An update cut short may have left the kit, or the new one, beside it.
for %%d in (new old) do if exist "%folder%.%%d\" rd /s /q "%folder%.%%d"
if exist "%folder%.new\" goto leftover
if exist "%folder%.old\" goto leftover
if /i not "%here%"=="%installed%" goto remove
rem Run from the folder itself. cmd reads a script line by line: "(goto)"
rem ends this script, and the rest of its line, already read, removes the
rem folder. (Wine's cmd does neither; it goes on below, where the folder
rem that holds the running script stays.)
(goto) 2>nul & cd /d "%SystemRoot%" & rd /s /q "%folder%" 2>nul & if exist "%folder%\" (>&2 echo uninstall.cmd: could not remove "%folder%" & "%SystemRoot%\System32\cmd.exe" /d /c exit 1603) else "%SystemRoot%\System32\cmd.exe" /d /c exit 0

:remove
rd /s /q "%folder%" 2>nul
if not exist "%folder%\" exit /b 0
>&2 echo uninstall.cmd: could not remove "%folder%"
exit /b 1603

:leftover
>&2 echo uninstall.cmd: could not remove "%folder%.new" or "%folder%.old", left by an update cut short
exit /b 1603
