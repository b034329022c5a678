# Intune Remediations: the remediation script, run when detect.ps1 found the
# setting not in effect. Runs the installed apply.cmd with the arguments
# below, as the start-up task does at every boot, and exits with its status
# (0 written; 3010 written, a reboot is needed to finish; any other: see the
# deployment guide, "Exit statuses"). It prints one line; only a failure
# writes to the error stream, which Intune counts as a script error.
#
# Set up in Intune: Devices > Scripts and remediations > Create, with
#   Detection script file:   detect.ps1
#   Remediation script file: this file
#   Run this script using the logged-on credentials: No (it runs as SYSTEM)
#   Enforce script signature check: No, unless you sign both scripts
#   Run script in 64-bit PowerShell: Yes
# Plain ASCII and no .NET method: it runs in Windows PowerShell 5.1, and
# where scripts run in Constrained Language Mode.
$Arguments = @('-enable')   # as install.cmd was deployed: '-enable', '/restart', '/remove-stale', or none

$apply = "$env:ProgramW6432\Quorvane\apply.cmd"
if (-not (Microsoft.PowerShell.Management\Test-Path -LiteralPath $apply -PathType Leaf)) {
    Microsoft.PowerShell.Utility\Write-Error "not applied: the kit is not installed (there is no $apply)"
    exit 1
}
$output = @(& $apply @Arguments 2>&1 | Microsoft.PowerShell.Core\ForEach-Object { "$_" })
$status = $LASTEXITCODE
if ($status -eq 0 -or $status -eq 3010) {
    "applied: apply.cmd $($Arguments -join ' ') ended with status $status"
} else {
    Microsoft.PowerShell.Utility\Write-Error "not applied: apply.cmd $($Arguments -join ' ') ended with status $status. $($output -join ' ')"
}
exit $status
