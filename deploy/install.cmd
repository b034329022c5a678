@echo off
rem install.cmd [-enable] [/restart] [/remove-stale]
rem Has quorvane-kit.exe beside it install the kit into %ProgramFiles%\Quorvane,
rem a folder only SYSTEM and Administrators may open: it checks this package
rem and Program Files, copies what it checked, records the choice (these
rem arguments) in HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane, registers the event
rem source Quorvane with the messages in quorvane-kit.exe, and registers the
rem start-up task Quorvane from quorvane-task.xml as it ships: at every boot,
rem as SYSTEM, it runs quorvane-kit.exe /deployed, which applies the choice.
rem Then runs that once and exits with its status. Run it again to change the
rem choice or update the kit: files are replaced one by one, quorvane-kit.exe
rem last, so that the task runs the kit installed before or the new one,
rem whole. 87: an argument it does not know, or an empty one. 740: not run as
rem an administrator. 1603: the package's folder or Program Files is one that
rem standard users can change, or the kit could not be installed; the kit and
rem the choice installed before, if any, are left as they were.
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
