# Intune Remediations: the remediation script, run when detect.ps1 found the
# setting not in effect. Runs the installed quorvane-kit.exe /remediate,
# which acts only where that helps: it writes the choice install.cmd
# recorded where the value is wrong or absent, and restarts the panel where
# the setting waits for its next start; where a person must act (no panel,
# not connected, a problem code, another panel without the setting, a
# restart Windows put off until it restarts) it changes nothing. Prints its
# one line and exits with its status: 0 done (its line says "reboot needed"
# where Windows asked for one), anything else failed or needs a person (see
# the deployment guide, "Troubleshooting"); then the line also goes to the
# error stream, which Intune shows as the script's error.
#
# Set up in Intune: Devices > Scripts and remediations > Create, with
#   Detection script file:   detect.ps1
#   Remediation script file: this file
#   Run this script using the logged-on credentials: No (it runs as SYSTEM)
#   Enforce script signature check: No, unless you sign both scripts
#   Run script in 64-bit PowerShell: Yes
# Plain ASCII and no .NET method: it runs in Windows PowerShell 5.1, and
# where scripts run in Constrained Language Mode. Nothing here to edit.

# "C:\Program Files" in a 32-bit PowerShell too. Without it (no 64-bit
# Windows), the path would start at the drive's root, where any user may
# put a program: nothing runs.
$kit = "$env:ProgramW6432\Quorvane\quorvane-kit.exe"
if (-not $env:ProgramW6432 -or
    -not (Microsoft.PowerShell.Management\Test-Path -LiteralPath $kit -PathType Leaf)) {
    Microsoft.PowerShell.Utility\Write-Error "not remediated - ERROR: the kit is not installed (there is no $kit)"
    exit 1
}
$output = @(& $kit /remediate 2>&1 | Microsoft.PowerShell.Core\ForEach-Object { "$_" })
$status = $LASTEXITCODE
$line = if ($output.Count -gt 0) { $output[-1] } else { "quorvane-kit.exe /remediate printed nothing (status $status)" }
if ($status -eq 0) {
    $line
} else {
    Microsoft.PowerShell.Utility\Write-Error $line
}
exit $status
