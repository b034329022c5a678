# Detection rule for Intune and Configuration Manager. Writes "Detected" when
# the kit is installed (an administrator registered its start-up task: in the
# root folder, running startup.cmd from %ProgramFiles%\Quorvane as SYSTEM) and
# a touch panel that is connected has SelectiveSuspendOn as a REG_DWORD equal
# to $Deployed; writes nothing otherwise. Always exits 0 and writes nothing to
# the error stream: both tools read "not detected" from the empty output, and
# Configuration Manager takes any other status, or error output, as a failure.
# It calls no .NET method, so that it also works in Constrained Language
# Mode (kiosks that enforce script rules).
$Deployed = 1   # 1 where install.cmd -enable is deployed, 0 where install.cmd is

# Every error, terminating or not (a module that fails to load, a CIM error),
# stops the script and ends in the catch below. The cmdlets of the
# ScheduledTasks and PnpDevice modules ignore this script's preference, so
# they are told one by one.
$ErrorActionPreference = 'Stop'
try {
    # Any user may register a task named Quorvane for themselves; only an
    # administrator can register one that runs as SYSTEM.
    $definition = ScheduledTasks\Export-ScheduledTask -TaskPath '\' -TaskName 'Quorvane' -ErrorAction Stop
    if ($definition -notlike '*<UserId>S-1-5-18</UserId>*' -or
        $definition -notlike '*<Command>"%ProgramFiles%\Quorvane\startup.cmd"</Command>*') { exit 0 }

    $Panels = 'USB\VID_04F3&PID_0026&MI_01\', 'USB\VID_0EEF&PID_C069\'
    foreach ($device in PnpDevice\Get-PnpDevice -PresentOnly -ErrorAction Stop) {
        $id = $device.InstanceId
        if (-not ($Panels | Microsoft.PowerShell.Core\Where-Object { $id -like "$_*" })) { continue }
        $value = (Microsoft.PowerShell.Management\Get-ItemProperty -LiteralPath "HKLM:\SYSTEM\CurrentControlSet\Enum\$id\Device Parameters" `
                                   -Name SelectiveSuspendOn -ErrorAction SilentlyContinue).SelectiveSuspendOn
        # A REG_DWORD reads as an [int]; every other type as something else.
        if ($value -is [int] -and $value -eq $Deployed) {
            'Detected'
            break
        }
    }
} catch {
}
exit 0
