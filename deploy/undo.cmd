@echo off
rem undo.cmd
rem Deletes SelectiveSuspendOn from the Device Parameters key of every
rem instance of both touch panels that has it, so that the driver falls back
rem to its own default, and prints each key it deleted the value from.
rem quorvane-kit.exe reads and deletes them natively: a name is never text to
rem parse, whatever characters it holds. 1: a value could not be deleted.
rem 87: it was given an argument; nothing was deleted. 1603: it was run from a
rem folder that standard users can change; nothing was deleted.
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
"%~dp0quorvane-kit.exe" /undo
exit /b %errorlevel%
