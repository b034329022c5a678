@echo off
rem Undo: deletes SelectiveSuspendOn from every touch-panel instance that has
rem it, so the driver falls back to its own default.
for %%k in ("HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01" "HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069") do (
  for /f "delims=" %%p in ('reg query %%k /s /v SelectiveSuspendOn 2^>nul ^| find "HKEY_"') do reg delete "%%p" /v SelectiveSuspendOn /f
)
exit /b 0
