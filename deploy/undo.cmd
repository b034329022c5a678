@echo off
rem undo.cmd
rem Deletes SelectiveSuspendOn from the Device Parameters key of every
rem instance of both touch panels that has it, so that the driver falls back
rem to its own default, and prints each key it deleted the value from.
rem quorvane-kit.exe reads and deletes them natively: a name is never text to
rem parse, whatever characters it holds. 1: a value could not be deleted.
rem 87: it was given an argument ("/?" must not delete anything); nothing was
rem deleted. 1603: quorvane-kit.exe, this script or their folder is one that
rem standard users can change; nothing was deleted.
"%~dp0quorvane-kit.exe" /undo %*
exit /b %errorlevel%
