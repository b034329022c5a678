# Detection rule for Intune (Win32 app) and Configuration Manager
# (application): is the kit installed? Writes "Detected" when it is (an
# administrator registered its start-up task: in the root folder, running
# "%ProgramFiles%\Quorvane\quorvane-kit.exe" /deployed as SYSTEM) and the
# instance quorvane.exe writes holds SelectiveSuspendOn as a REG_DWORD equal
# to the choice install.cmd recorded, as the installed quorvane-kit.exe
# /status reads them both; writes nothing otherwise. Always exits 0 and
# writes nothing to the error stream: both tools read "not detected" from
# the empty output, and Configuration Manager takes any other status, or
# error output, as a failure. Whether the setting is in effect on a working
# panel is another question: remediation\detect.ps1 answers it. Plain ASCII,
# no module and no .NET method: it runs on Windows 7 and 8.1 too, and where
# scripts run in Constrained Language Mode. Nothing here to edit.

try {
    # Any user may register a task named Quorvane for themselves; only an
    # administrator one that runs as SYSTEM. Windows' programs by full path:
    # as SYSTEM a bare name could find a program on the PATH first.
    $definition = (& "$env:SystemRoot\System32\schtasks.exe" /query /tn '\Quorvane' /xml ONE 2>$null) -join "`n"
    if ($LASTEXITCODE -ne 0 -or
        $definition -notlike '*<UserId>S-1-5-18</UserId>*' -or
        $definition -notlike '*<Command>"%ProgramFiles%\Quorvane\quorvane-kit.exe"</Command>*' -or
        $definition -notlike '*<Arguments>/deployed</Arguments>*') { exit 0 }

    # Its first line names the value the deployed choice asks for; the line
    # of the instance quorvane.exe writes ends with its value and a mark,
    # where nothing of an instance's name can stand.
    if (-not $env:ProgramW6432) { exit 0 }
    $lines = @(& "$env:ProgramW6432\Quorvane\quorvane-kit.exe" /status 2>$null)
    if ($lines.Count -gt 0 -and $lines[0] -match '^compared with SelectiveSuspendOn ([01]): the deployed choice') {
        $value = $Matches[1]
        if ($lines -like "*; SelectiveSuspendOn $value (written by quorvane.exe)") { 'Detected' }
    }
} catch {
}
exit 0
