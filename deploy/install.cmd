@echo off
rem install.cmd [-enable] [/restart]
rem Copies the kit into %ProgramFiles%\Quorvane, a folder only administrators
rem can change; registers the start-up task Quorvane, which runs apply.cmd from
rem there with the same arguments, as SYSTEM, at every boot; then runs
rem apply.cmd once and exits with its status. Run it again to change the
rem arguments or update the kit: it replaces the task and the files.
rem 87: an argument it does not know. 1603: the kit could not be installed.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"==":finish-task" goto finish-task
rem Some management agents are 32-bit, and a 32-bit command processor would
rem install into "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ""%~f0" %*"
  exit /b
)

set "enable="
set "restart="
:arguments
if "%~1"=="" goto install
rem Case-sensitive, as quorvane.exe reads it: "-Enable" would silently mean off.
if "%~1"=="-enable" (set "enable=yes") else if /i "%~1"=="/restart" (set "restart=yes") else goto usage
shift
goto arguments

:install
set "arguments="
if defined enable set "arguments=-enable"
if defined restart if defined enable set "arguments=-enable /restart"
if defined restart if not defined enable set "arguments=/restart"
set "kit=%~dp0"
set "folder=%ProgramFiles%\Quorvane"
set "task=%folder%\quorvane-task.xml"
if not exist "%folder%\docs\" (
  md "%folder%\docs"
  if errorlevel 1 goto failed
)
for %%f in (quorvane.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 README.md LICENSE docs\deploying.md) do (
  copy /y "%kit%%%f" "%folder%\%%f" >nul
  if errorlevel 1 goto failed
)
rem schtasks reads a definition in UTF-16 LE with its byte-order mark, which
rem echo cannot write. "copy /a" keeps the shipped definition up to its mark
rem U+241A, stored as the byte 0x1A at which an ASCII copy stops; a command
rem processor in Unicode mode (/u) then writes the rest.
copy /y "%kit%quorvane-task.xml" /a "%task%" /b >nul
if errorlevel 1 goto failed
"%ComSpec%" /d /u /c ""%~f0" :finish-task "%arguments%"" >>"%task%"
if errorlevel 1 goto failed
schtasks /create /tn Quorvane /xml "%task%" /f >nul
if errorlevel 1 goto failed
rem A command processor of its own, not "call": Wine's "call" loses the status.
"%ComSpec%" /d /c ""%folder%\apply.cmd" %arguments%"
exit /b %errorlevel%

:usage
>&2 echo install.cmd: "%~1" is not an argument. Usage: install.cmd [-enable] [/restart]
exit /b 87

:failed
>&2 echo install.cmd: could not install into "%folder%" or register the task Quorvane
exit /b 1603

:finish-task
rem Runs under cmd /u: every line goes out in UTF-16 LE. Closes the comment
rem that the copied part of the definition ends in.
echo  written by install.cmd --^>
echo   ^<Actions Context="System"^>
echo     ^<Exec^>
echo       ^<Command^>"%ProgramFiles%\Quorvane\apply.cmd"^</Command^>
if not "%~2"=="" echo       ^<Arguments^>%~2^</Arguments^>
echo     ^</Exec^>
echo   ^</Actions^>
echo ^</Task^>
exit /b 0
