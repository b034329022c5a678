#!/bin/sh
# The deployment kit as administrators get it: the release package unpacked
# into a folder whose path has spaces, its scripts run under Wine's cmd, reg and
# schtasks, and the registry, the log, the installed files and the task
# definition read back independently.
#   kit.sh PREFIX BUILD_DIR PNPUTIL_STANDIN
# Wine has no pnputil: where a case needs one, PNPUTIL_STANDIN stands in as
# System32\pnputil.exe and reports the devices that QUORVANE_TEST_* name.
set -eu
prefix=$1 build=$2 standin=$3
run="$(cd "$(dirname "$0")/.." && pwd)/scripts/wine-run"
drive="$prefix/drive_c"
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

key1='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01'
key2='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069'
id1='USB\VID_04F3&PID_0026&MI_01\6&1a2b3c4d&0&0001'
id2='USB\VID_04F3&PID_0026&MI_01\6&1a2b3c4d&0&0002'
root='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum'
parameters1="$root\\$id1\\Device Parameters"
installed="$drive/Program Files/Quorvane"
log="$drive/ProgramData/Quorvane/quorvane.log"
task_file="$drive/windows/system32/tasks/Quorvane"

clean() {
  for key in "$key1" "$key2"; do "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true; done
  "$run" "$prefix" schtasks /delete /tn Quorvane /f >/dev/null 2>&1 || true
  rm -rf "$installed" "${log%/*}" "$drive/quorvane-test" "$drive/windows/system32/pnputil.exe" \
    "$drive"/users/*/Temp/quorvane-uninstall.cmd
}
trap clean EXIT
clean

# --- The package ------------------------------------------------------------------

cmake --build "$build" --target package >/dev/null
zip=$(echo "$build"/quorvane-*-win-x64.zip)
name=$(basename "$zip" .zip)
mkdir -p "$drive/quorvane-test/Quorvane download"
(cd "$drive/quorvane-test/Quorvane download" && unzip -q "$zip")
package="$drive/quorvane-test/Quorvane download/$name"
kit="C:\\quorvane-test\\Quorvane download\\$name"

files=$(cd "$package" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
expected="LICENSE README.md SHA256SUMS apply.cmd detect.ps1 docs/deploying.md install.cmd quorvane-task.xml quorvane.exe undo.cmd uninstall.cmd "
[ "$files" = "$expected" ] || fail "the package holds: $files; expected: $expected"
(cd "$package" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the package"
for doc in README.md docs/deploying.md; do
  for link in $(grep -oE '\]\([^)]+\)' "$package/$doc" | sed -E 's/^\]\(//; s/\)$//; s/#.*//' | grep -vE '^([a-z]+:|$)'); do
    [ -e "$(dirname "$package/$doc")/$link" ] || fail "$doc links to $link, which is not in the package"
  done
done
first_bytes() { od -An -tx1 -N "$2" "$1" | tr -d ' \n'; }
[ "$(first_bytes "$package/quorvane-task.xml" 2)" = fffe ] ||
  fail "quorvane-task.xml is not UTF-16 LE with a byte-order mark: Windows' schtasks would refuse it"
xmllint --noout "$package/quorvane-task.xml" || fail "quorvane-task.xml is not well-formed"

# --- Running the scripts --------------------------------------------------------------

# A Unix exit status keeps 8 bits: 3010 and 1603 need cmd to say them. (Not
# through "call": Wine's loses a called script's status.)
printf '@cmd /d /c %%*\r\n@echo exit status %%errorlevel%%\r\n' >"$drive/quorvane-test/status.cmd"

# kit STATUS SCRIPT [ARG...]: runs a kit script, and checks its exit status.
kit() {
  want=$1
  shift
  out=$("$run" "$prefix" cmd /c 'C:\quorvane-test\status.cmd' "$@" 2>&1 | tr -d '\r') || true
  got=$(printf '%s\n' "$out" | sed -n 's/^exit status //p' | tail -n 1)
  [ "$got" = "$want" ] || fail "$*: exit status '$got', expected $want; it printed: $out"
}
value() {
  "$run" "$prefix" reg query "$1" /v SelectiveSuspendOn 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_DWORD *//p'
}
# The log's last line without its date and time, which follow the locale.
last_logged() { tail -n 1 "$log" | tr -d '\r' | sed 's/^[^;]*; //'; }
lines_logged() { if [ -f "$log" ]; then wc -l <"$log"; else echo 0; fi; }
layout() {
  for key in "$key1" "$key2"; do "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true; done
  for key in "$@"; do "$run" "$prefix" reg add "$key" /f >/dev/null; done
}
standin() {
  if [ "$1" = yes ]; then cp "$standin" "$drive/windows/system32/pnputil.exe"; else rm -f "$drive/windows/system32/pnputil.exe"; fi
}

# --- apply.cmd: the value, the status and the line it logs -------------------------------

again="restart the device or the machine for the setting to take effect"
stale="no - WARNING: this instance is not connected, so the touch panel in use keeps its former setting (see the deployment guide: stale instances)"
layout "$key1\\0000" "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters"
# pnputil|connected|disconnected|restart status|arguments|value|exit status|logged after the key
while IFS='|' read -r pnputil connected disconnected restart arguments data status logged; do
  standin "$pnputil"
  # shellcheck disable=SC2086
  QUORVANE_TEST_CONNECTED=$connected QUORVANE_TEST_DISCONNECTED=$disconnected QUORVANE_TEST_RESTART=$restart \
    kit "$status" "$kit\\apply.cmd" $arguments
  [ "$(value "$parameters1")" = "$data" ] || fail "apply.cmd $arguments: value $(value "$parameters1"), expected $data"
  switch=$(echo "$arguments" | grep -o -- -enable || echo none)
  want="switch $switch; status 0; key $parameters1$logged"
  [ "$(last_logged)" = "$want" ] || fail "apply.cmd $arguments logged: $(last_logged)
expected: $want"
done <<EOF
no|||||0x0|0|
no|||0|-enable|0x1|0|
yes|$id1||||0x0|0|; present yes
yes|$id2|$id1||-enable|0x1|0|; present $stale
yes|$id1||0|-enable /restart|0x1|0|; present yes; restart done
yes|$id1||3010|/restart|0x0|3010|; present yes; restart done, a reboot is needed to finish (3010)
yes|$id1||5|-enable /RESTART|0x1|0|; present yes; restart failed (pnputil 5): $again
yes||$id1|0|/restart -enable|0x1|0|; present $stale; restart failed (pnputil 1168): $again
no|||0|-enable /restart|0x1|0|; restart not done: $again
EOF
[ "$(value "$root\\$id2\\Device Parameters")" = "" ] || fail "apply.cmd wrote a second instance"

# Statuses other than 0 pass through untouched, and an unknown argument runs nothing.
standin yes
layout
QUORVANE_TEST_CONNECTED=$id1 kit 1 "$kit\\apply.cmd" -enable /restart
[ "$(last_logged)" = "switch -enable; status 1; key none" ] || fail "no panel: logged $(last_logged)"
layout "$key2\\5&2f&0&3\\Device Parameters"
kit 0 "$kit\\apply.cmd"
[ "$(last_logged)" = "switch none; status 0; key $root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters" ] ||
  fail "second device: logged $(last_logged)"
lines=$(lines_logged)
kit 87 "$kit\\apply.cmd" -Enable
[ "$(value "$root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters")" = 0x0 ] || fail "apply.cmd -Enable changed the value"
[ "$(lines_logged)" = "$lines" ] || fail "apply.cmd -Enable logged a line"

# --- install.cmd, uninstall.cmd, undo.cmd --------------------------------------------------

layout "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters" "$key2\\5&2f&0&3\\Device Parameters"
kit 87 "$kit\\install.cmd" /enable
[ ! -e "$installed" ] || fail "install.cmd /enable installed"

# element A/B: the text of the installed task definition's element B in A.
element() {
  xmllint --xpath "string(//*[local-name()='$(printf '%s' "$1" | sed "s|/|']/*[local-name()='|g")'])" \
    "$installed/quorvane-task.xml"
}
for arguments in "-enable /restart" ""; do
  # shellcheck disable=SC2086
  QUORVANE_TEST_CONNECTED=$id1 kit 0 "$kit\\install.cmd" $arguments
  for file in quorvane.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 README.md LICENSE docs/deploying.md; do
    cmp -s "$package/$file" "$installed/$file" || fail "install.cmd $arguments: $file not installed"
  done
  [ "$(first_bytes "$installed/quorvane-task.xml" 2)" = fffe ] || fail "the installed task definition is not UTF-16 LE with a byte-order mark"
  xmllint --noout "$installed/quorvane-task.xml" || fail "the installed task definition is not well-formed"
  for pair in "Command=\"C:\\Program Files\\Quorvane\\apply.cmd\"" "Arguments=$arguments" "UserId=S-1-5-18" \
              "RunLevel=HighestAvailable" "BootTrigger/Enabled=true" "BootTrigger/Delay=PT1M" \
              "MultipleInstancesPolicy=IgnoreNew" "DisallowStartIfOnBatteries=false" "StopIfGoingOnBatteries=false" "ExecutionTimeLimit=PT10M"; do
    [ "$(element "${pair%%=*}" | tr -d ' \r\n')" = "$(printf "%s" "${pair#*=}" | tr -d ' ')" ] ||
      fail "install.cmd $arguments: task element ${pair%%=*} is '$(element "${pair%%=*}")', expected '${pair#*=}'"
  done
  # Wine keeps the settings of a registered task (not its trigger, principal or command).
  grep -q '<DisallowStartIfOnBatteries>false<' "$task_file" || fail "the task was not registered with its settings"
  switch=$(echo "$arguments" | grep -o -- -enable || echo none)
  case "$(last_logged)" in "switch $switch; status 0; key $parameters1"*) ;; *) fail "install.cmd $arguments: logged $(last_logged)" ;; esac
done
[ "$(value "$parameters1")" = 0x0 ] || fail "install.cmd did not apply its setting"
# The guide's check finds the value wherever it is.
"$run" "$prefix" reg query "$key1" /s /v SelectiveSuspendOn | grep -qF "$parameters1" || fail "reg query /s did not find the value"

kit 0 "$kit\\uninstall.cmd"
[ ! -e "$installed" ] && [ ! -e "$task_file" ] || fail "uninstall.cmd from the package left the folder or the task"
[ "$(value "$parameters1")" = 0x0 ] && [ -s "$log" ] || fail "uninstall.cmd removed the value or the log"
kit 0 "$kit\\uninstall.cmd"

# From the installed folder itself, the script hands over to a copy in %TEMP%,
# which removes the folder. Wine, unlike Windows, holds the first script open
# until it ends, so the emptied folder stays, and the status must say so.
kit 0 "$kit\\install.cmd"
out=$("$run" "$prefix" cmd /c 'C:\quorvane-test\status.cmd' 'C:\Program Files\Quorvane\uninstall.cmd' 2>&1 | tr -d '\r')
[ ! -e "$task_file" ] || fail "uninstall.cmd from its folder left the task"
[ -z "$(find "$installed" -type f 2>/dev/null)" ] || fail "uninstall.cmd from its folder left files"
want="exit status 0"
[ -e "$installed" ] && want="exit status 1603"
[ "$(printf '%s\n' "$out" | tail -n 1)" = "$want" ] || fail "uninstall.cmd from its folder printed '$out', expected '$want'"

"$run" "$prefix" reg add "$root\\$id1\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 0 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v Other /t REG_DWORD /d 1 /f >/dev/null
kit 0 "$kit\\undo.cmd"
for instance in "$id1" "$id2" "USB\\VID_0EEF&PID_C069\\5&2f&0&3"; do
  [ "$(value "$root\\$instance\\Device Parameters")" = "" ] || fail "undo.cmd left the value of $instance"
done
"$run" "$prefix" reg query "$root\\$id2\\Device Parameters" /v Other >/dev/null || fail "undo.cmd deleted another value"

echo "1 passed, 0 failed"
