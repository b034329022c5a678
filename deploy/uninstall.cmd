@echo off
rem uninstall.cmd
rem Has quorvane-kit.exe beside it remove the start-up task Quorvane, the event
rem source Quorvane (its messages go with the kit), the record in
rem HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane and %ProgramFiles%\Quorvane, whether
rem it is run from the package or from that folder itself. Leaves the
rem value SelectiveSuspendOn (undo.cmd deletes it) and the log in
rem %SystemRoot%\Logs\Quorvane. 1603: something could not be removed, or it
rem was run from a folder that standard users can change. 87: it was given an
rem argument ("/?" must not remove anything); nothing was removed.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor would
rem look in "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)

set "folder=%ProgramFiles%\Quorvane"
rem Read before the cd below: cmd may resolve %~dp0 against the current
rem directory. Started through a short (8.3) name of the folder, the script is
rem in it all the same: both are compared in their short form.
set "kit=%~dp0quorvane-kit.exe"
for %%h in ("%~dp0.") do set "here=%%~sfh"
for %%f in ("%folder%") do set "installed=%%~sff"
rem No current directory inside the folder, and none where a user may have
rem put a program of a Windows name.
cd /d "%SystemRoot%"
"%kit%" /uninstall %*
if errorlevel 1 exit /b %errorlevel%
if /i not "%here%"=="%installed%" exit /b 0
rem Run from the folder itself, which quorvane-kit.exe left. cmd reads a
rem script line by line: "(goto)" ends this script, and the rest of its line,
rem already read, removes the folder. (Wine's cmd does neither; it goes on
rem below, where the folder that holds the running script stays.)
(goto) 2>nul & cd /d "%SystemRoot%" & rd /s /q "%folder%" 2>nul & if exist "%folder%\" (>&2 echo uninstall.cmd: could not remove "%folder%" & "%SystemRoot%\System32\cmd.exe" /d /c exit 1603) else "%SystemRoot%\System32\cmd.exe" /d /c exit 0
rd /s /q "%folder%" 2>nul
if not exist "%folder%\" exit /b 0
>&2 echo uninstall.cmd: could not remove "%folder%"
exit /b 1603
