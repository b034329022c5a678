@echo off
rem uninstall.cmd
rem Removes the start-up task Quorvane and %ProgramFiles%\Quorvane, whether it
rem is run from the package or from that folder itself. Leaves the value
rem SelectiveSuspendOn (undo.cmd deletes it) and the log in
rem %ProgramData%\Quorvane. 1603: something could not be removed.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor would
rem look in "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ""%~f0" %*"
  exit /b
)

set "folder=%ProgramFiles%\Quorvane"
rem A script cannot remove the folder it runs from: from there, it hands over
rem to a copy of itself outside. Started without "call", the copy does not
rem come back here.
if /i not "%~dp0"=="%folder%\" goto remove
copy /y "%~f0" "%TEMP%\quorvane-uninstall.cmd" >nul
if errorlevel 1 goto remove
"%TEMP%\quorvane-uninstall.cmd"

:remove
rem Nor can a current directory inside the folder.
cd /d "%SystemRoot%"
rem Fails when there is no such task; what counts is that none is left.
schtasks /delete /tn Quorvane /f >nul 2>&1
if exist "%SystemRoot%\System32\Tasks\Quorvane" (
  >&2 echo uninstall.cmd: could not remove the task Quorvane
  exit /b 1603
)
rd /s /q "%folder%" 2>nul
if exist "%folder%\" (
  >&2 echo uninstall.cmd: could not remove "%folder%"
  exit /b 1603
)
exit /b 0
