@echo off
rem install.cmd [-enable] [/restart] [/remove-stale]
rem Copies the kit into %ProgramFiles%\Quorvane, a folder only administrators
rem can change, registers the event source Quorvane with the messages in
rem quorvane-kit.exe, and registers the start-up task Quorvane from
rem quorvane-task.xml as it ships: at every boot, as SYSTEM, it runs
rem startup.cmd, a line this script writes there that runs quorvane-kit.exe
rem with the same arguments. Then runs it once and exits with its status. Run it
rem again to change the arguments or update the kit: it replaces the task and
rem the files, all at once or not at all. 87: an argument it does not know, or
rem an empty one. 1603: the package's folder is one that standard users can
rem change, or the kit could not be installed; the kit installed before, if
rem any, is left as it was. Windows' programs are called by full path: cmd
rem looks in the current directory first.
setlocal EnableExtensions DisableDelayedExpansion
rem Some management agents are 32-bit, and a 32-bit command processor would
rem install into "Program Files (x86)": run again in the 64-bit one.
if defined PROCESSOR_ARCHITEW6432 if exist "%SystemRoot%\Sysnative\cmd.exe" (
  "%SystemRoot%\Sysnative\cmd.exe" /d /c ^""%~f0" %*^"
  exit /b
)

set "arguments="
:arguments
rem An empty argument ("" from an empty variable) is not the end of them.
if [%1]==[] goto install
rem Case-sensitive, as quorvane.exe reads it: "-Enable" would silently mean off.
if "%~1"=="-enable" goto argument
if /i "%~1"=="/restart" goto argument
if /i "%~1"=="/remove-stale" goto argument
goto usage
:argument
set "arguments=%arguments% %~1"
shift
goto arguments

:install
rem Nothing from a folder that standard users can change may run as SYSTEM:
rem the package's folder, the folders above it and every file copied or run
rem from it are checked before anything else runs from there.
set "files=quorvane.exe quorvane-kit.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 quorvane-task.xml README.md LICENSE docs\deploying.md"
"%~dp0quorvane-kit.exe" /check-source install.cmd docs %files%
if errorlevel 1 (
  >&2 echo install.cmd: nothing was installed
  exit /b 1603
)
set "folder=%ProgramFiles%\Quorvane"
set "new=%ProgramFiles%\Quorvane.new"
set "old=%ProgramFiles%\Quorvane.old"
set "schtasks=%SystemRoot%\System32\schtasks.exe"
set "source=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvane"
set "stopped="
set "moved="
set "placed="

rem The new kit is put together beside the installed one and swapped in by
rem renames: the task finds the old kit or the new one, whole, never a mix.
rem An update cut short between its two renames left the kit installed
rem before in Quorvane.old alone: it goes back first.
set "step=clear "%new%" and "%old%", left by an update cut short"
if exist "%old%\" if not exist "%folder%\" ren "%old%" "Quorvane"
if exist "%new%" rd /s /q "%new%"
if exist "%old%" rd /s /q "%old%"
if exist "%new%" goto restore
if exist "%old%" goto restore
set "step=copy the kit into "%new%""
md "%new%\docs"
if not exist "%new%\docs\" goto restore
set "copied=yes"
for %%f in (%files%) do (
  copy /y "%~dp0%%f" "%new%\%%f" >nul
  if errorlevel 1 set "copied="
)
if not defined copied goto restore
rem The task's own definition names startup.cmd, so that it registers byte for
rem byte as it ships; the arguments live here.
>"%new%\startup.cmd" echo @"%%~dp0quorvane-kit.exe"%arguments%
if not exist "%new%\startup.cmd" goto restore

rem The task must not start while the kits are swapped.
"%schtasks%" /query /tn Quorvane >nul 2>&1
if not errorlevel 1 set "stopped=yes"
if defined stopped "%schtasks%" /change /tn Quorvane /disable >nul 2>&1
if defined stopped if errorlevel 1 >&2 echo install.cmd: could not disable the task Quorvane; swapping the kits all the same
if defined stopped "%schtasks%" /end /tn Quorvane >nul 2>&1
set "step=move the installed kit aside, to "%old%" (is a program of it running?)"
if exist "%folder%\" ren "%folder%" "Quorvane.old"
if exist "%folder%\" goto restore
if exist "%old%\" set "moved=yes"
set "step=move the new kit into "%folder%""
ren "%new%" "Quorvane"
if not exist "%folder%\startup.cmd" goto restore
set "placed=yes"

rem Any user may register a task of this name first: it goes, and the kit's
rem own lets only SYSTEM and Administrators change or run it.
set "step=register the task Quorvane"
"%schtasks%" /delete /tn Quorvane /f >nul 2>&1
"%schtasks%" /create /tn Quorvane /xml "%folder%\quorvane-task.xml" /f >nul
if errorlevel 1 goto restore
rem Last, as the kit installed before may need the source as it was: Event
rem Viewer reads the descriptions from quorvane-kit.exe's messages, and
rem eventcreate, which marks the sources it makes (CustomSource), writes to
rem no other. An earlier kit's source becomes this one.
set "step=register the event source Quorvane"
"%SystemRoot%\System32\reg.exe" add "%source%" /v EventMessageFile /t REG_EXPAND_SZ /d "%folder%\quorvane-kit.exe" /f >nul
if errorlevel 1 goto restore
"%SystemRoot%\System32\reg.exe" add "%source%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto restore
"%SystemRoot%\System32\reg.exe" delete "%source%" /v CustomSource /f >nul 2>&1
if exist "%old%" rd /s /q "%old%"
"%folder%\quorvane-kit.exe"%arguments%
exit /b %errorlevel%

:usage
>&2 echo install.cmd: "%~1" is not an argument. Usage: install.cmd [-enable] [/restart] [/remove-stale]
exit /b 87

:restore
rem The kit installed before goes back in place, with its task registered
rem again from its own definition, which enables it. Where there was none,
rem nothing of the new one stays.
>&2 echo install.cmd: could not %step%
if defined placed rd /s /q "%folder%"
if defined moved ren "%old%" "Quorvane"
if exist "%new%" rd /s /q "%new%"
if defined stopped if exist "%folder%\quorvane-task.xml" "%schtasks%" /create /tn Quorvane /xml "%folder%\quorvane-task.xml" /f >nul
if defined moved if not exist "%folder%\" (
  >&2 echo install.cmd: the kit installed before could not be put back: it is in "%old%"
  exit /b 1603
)
>&2 echo install.cmd: the kit installed before, if any, is left as it was
exit /b 1603
