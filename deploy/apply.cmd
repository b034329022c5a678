@echo off
rem apply.cmd [-enable] [/restart] [/remove-stale]
rem For use by hand: quorvane-kit.exe beside this script does quorvane.exe's
rem work with these arguments, whatever install.cmd chose: with -enable it
rem switches USB selective suspend on for the touch panel, without it off.
rem It appends to %SystemRoot%\Logs\Quorvane\quorvane.log, writes one event of
rem the source Quorvane to the Application log, and exits with quorvane.exe's
rem status: 0 written, 1 not written, 2 another copy was running. Its line
rem ends with the verdict: in effect, pending (the panel takes the setting
rem when it next starts) or not in effect. With /remove-stale it first removes
rem the stale instances that quorvane.exe would write instead of the
rem connected panel. With /restart it restarts the panel written when the
rem setting waits for its next start; the status is then 3010 when Windows
rem put the restart off until it restarts.
rem 87: an argument it does not know, or an empty one; nothing was run.
rem 740: not run as an administrator; nothing was run.
rem 1603: this folder is one that standard users can change, or another
rem program holds it open; nothing was run.
rem 9009: quorvane-kit.exe is not beside it.
"%~dp0quorvane-kit.exe" /run %*
exit /b %errorlevel%
