@echo off
rem apply.cmd [-enable] [/restart] [/remove-stale]
rem Runs quorvane-kit.exe beside this script, which runs the quorvane.exe
rem beside it: with -enable it switches USB selective suspend on for the touch
rem panel, without it off. It appends to %SystemRoot%\Logs\Quorvane\quorvane.log,
rem writes one event of the source Quorvane to the Application log, and exits
rem with quorvane.exe's status: 0 written, 1 not written, 2 another copy was
rem running, 3 could not start. With /remove-stale it first removes the touch
rem panel's instances that are not connected, when one is. With /restart and
rem status 0 it also restarts the instance written, so that the setting takes
rem effect now; the status is then 3010 when a reboot is needed to finish.
rem 87: an argument it does not know, or an empty one; nothing was run.
rem 1603: this folder is one that standard users can change (a share a
rem start-up script runs it from, say); nothing was run. quorvane-kit.exe
rem checks that itself, before it runs anything.
rem 9009: quorvane-kit.exe is not beside it.
"%~dp0quorvane-kit.exe" /run %*
exit /b %errorlevel%
