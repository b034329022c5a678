@echo off
rem install.cmd [-enable] [/restart] [/remove-stale]
rem Has quorvane-kit.exe beside it install the kit into %ProgramFiles%\Quorvane,
rem a folder only administrators can change: it checks this package, copies
rem what it checked, registers the event source Quorvane with the messages in
rem quorvane-kit.exe, and registers the start-up task Quorvane from
rem quorvane-task.xml as it ships: at every boot, as SYSTEM, it runs
rem startup.cmd, a line written there that runs quorvane-kit.exe with the same
rem arguments. Then runs it once and exits with its status. Run it again to
rem change the arguments or update the kit: it replaces the task and the
rem files, all at once or not at all. 87: an argument it does not know, or an
rem empty one. 1603: the package's folder is one that standard users can
rem change, or the kit could not be installed; the kit installed before, if
rem any, is left as it was.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor would
rem start the companion in the 32-bit view of the system: run again in the
rem 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)
"%~dp0quorvane-kit.exe" /install %*
exit /b %errorlevel%
