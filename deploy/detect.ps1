# Detection rule for Intune and Configuration Manager. Writes "Detected" when a
# touch panel that is connected has SelectiveSuspendOn as a REG_DWORD equal to
# $Deployed, and nothing otherwise. Exits 0 either way: both tools read "not
# detected" from the missing output, and take any other status as a failure.
$Deployed = 1   # 1 where install.cmd -enable is deployed, 0 where install.cmd is

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
