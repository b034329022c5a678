@echo off
rem Detection rule: succeeds (prints Detected, exit 0) when an instance of
rem either touch panel has SelectiveSuspendOn = 1; exit 1 otherwise.
reg query "HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01" /s /v SelectiveSuspendOn 2>nul | find "REG_DWORD    0x1" >nul
if not errorlevel 1 goto detected
reg query "HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069" /s /v SelectiveSuspendOn 2>nul | find "REG_DWORD    0x1" >nul
if not errorlevel 1 goto detected
exit /b 1
:detected
echo Detected
exit /b 0
