# Intune Remediations: the detection script. Also a Configuration Manager
# configuration item's discovery script. Asks the kiosk itself whether USB
# selective suspend is in effect, as install.cmd chose it, on the touch panel
# in use: runs the installed quorvane-kit.exe /status (read-only: it writes no
# value, no log and no event), prints its verdict, its last line, and exits
# with 0 when it is "in effect: ...", 1 for "pending: ..." or "not in effect
# - WARNING: ..." (Intune then runs remediate.ps1). The verdict ends with
# "- fixable here" where the remediation can help, "- needs a person" where
# it cannot. As a Configuration Manager discovery script, set
# $ConfigurationManager: it then always exits 0, and the verdict is the
# setting's value (compliant when it begins with "in effect:").
#
# Set up in Intune: Devices > Scripts and remediations > Create, with
#   Detection script file:   this file
#   Remediation script file: remediate.ps1
#   Run this script using the logged-on credentials: No (it runs as SYSTEM)
#   Enforce script signature check: No, unless you sign both scripts
#   Run script in 64-bit PowerShell: Yes
# and a schedule. Plain ASCII and no .NET method: it runs in Windows
# PowerShell 5.1, and where scripts run in Constrained Language Mode.
$ConfigurationManager = $false   # $true as a configuration item's discovery script

# "C:\Program Files" in a 32-bit PowerShell too. Without it (no 64-bit
# Windows), the path would start at the drive's root, where any user may
# put a program: nothing runs.
$kit = "$env:ProgramW6432\Quorvane\quorvane-kit.exe"
if (-not $env:ProgramW6432 -or
    -not (Microsoft.PowerShell.Management\Test-Path -LiteralPath $kit -PathType Leaf)) {
    "not in effect - WARNING: the kit is not installed (there is no $kit) - needs a person"
    if ($ConfigurationManager) { exit 0 }
    exit 1
}
$lines = @(& $kit /status 2>$null)
$status = $LASTEXITCODE
if ($lines.Count -gt 0) { $lines[-1] } else { "not in effect - WARNING: $kit /status printed nothing (status $status)" }
if ($status -eq 0 -or $ConfigurationManager) { exit 0 }
exit 1
