# Detection rule for Intune and Configuration Manager. Writes "Detected" when
# the kit is installed (its start-up task is registered) and a touch panel
# that is connected has SelectiveSuspendOn as a REG_DWORD equal to $Deployed;
# writes nothing otherwise. Always exits 0 and writes nothing to the error
# stream: both tools read "not detected" from the empty output, and
# Configuration Manager takes any other status, or error output, as a failure.
$Deployed = 1   # 1 where install.cmd -enable is deployed, 0 where install.cmd is

if (-not (Get-ScheduledTask -TaskName Quorvane -ErrorAction SilentlyContinue)) { exit 0 }
$Panels = 'USB\VID_04F3&PID_0026&MI_01\', 'USB\VID_0EEF&PID_C069\'
foreach ($device in Get-PnpDevice -PresentOnly -ErrorAction SilentlyContinue) {
    $id = $device.InstanceId
    if (-not ($Panels | Where-Object { $id.StartsWith($_, 'OrdinalIgnoreCase') })) { continue }
    $key = Get-Item -LiteralPath "HKLM:\SYSTEM\CurrentControlSet\Enum\$id\Device Parameters" -ErrorAction SilentlyContinue
    if ($key -and $key.GetValueNames() -contains 'SelectiveSuspendOn' -and
        $key.GetValueKind('SelectiveSuspendOn') -eq 'DWord' -and
        $key.GetValue('SelectiveSuspendOn') -eq $Deployed) {
        'Detected'
        break
    }
}
exit 0
