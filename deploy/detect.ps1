# Detection rule for Intune and Configuration Manager. Writes "Detected" when
# the kit is installed (an administrator registered its start-up task: in the
# root folder, running startup.cmd from %ProgramFiles%\Quorvane as SYSTEM) and
# a touch panel that is connected has SelectiveSuspendOn as a REG_DWORD equal
# to $Deployed; writes nothing otherwise. Always exits 0 and writes nothing to
# the error stream: both tools read "not detected" from the empty output, and
# Configuration Manager takes any other status, or error output, as a failure.
$Deployed = 1   # 1 where install.cmd -enable is deployed, 0 where install.cmd is

# Every error stops the script and ends in the catch below, terminating or not
# (a module that fails to load, a CIM error), so none reaches the error stream.
$ErrorActionPreference = 'Stop'
try {
    # Any user may register a task named Quorvane for themselves; only an
    # administrator can register one that runs as SYSTEM.
    $task = Get-ScheduledTask -TaskPath '\' -TaskName 'Quorvane'
    $user = $task.Principal.UserId
    if ($user -ne 'S-1-5-18') {
        $user = ([Security.Principal.NTAccount]$user).Translate([Security.Principal.SecurityIdentifier]).Value
    }
    $actions = @($task.Actions)
    if ($user -ne 'S-1-5-18' -or $actions.Count -ne 1 -or
        $actions[0].Execute.Trim('"') -ne '%ProgramFiles%\Quorvane\startup.cmd') { exit 0 }

    $Panels = 'USB\VID_04F3&PID_0026&MI_01\', 'USB\VID_0EEF&PID_C069\'
    foreach ($device in Get-PnpDevice -PresentOnly) {
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
} catch {
}
exit 0
