#!/bin/sh
# The deployment kit as administrators get it: the release package unpacked
# into a folder whose path has spaces, "&", "(", ")" and "^", its scripts run
# under Wine's cmd, reg and schtasks from a current directory where a user has
# planted programs with Windows' names, and the registry, the log, the events,
# the installed files and the task definition read back independently.
#   kit.sh PREFIX BUILD_DIR STANDIN
# Wine has no pnputil or eventcreate: STANDIN stands in as both in System32
# (pnputil where a case needs one), for the devices that QUORVANE_TEST_* name.
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
log="$drive/windows/logs/Quorvane/quorvane.log"
task_file="$drive/windows/system32/tasks/Quorvane"
events="$drive/quorvane-test/events.txt"
export QUORVANE_TEST_EVENTS='C:\quorvane-test\events.txt'
version='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
build_number=$("$run" "$prefix" reg query "$version" /v CurrentBuildNumber | tr -d '\r' | sed -n 's/.*REG_SZ *//p')

clean() {
  for key in "$key1" "$key2"; do "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true; done
  "$run" "$prefix" schtasks /delete /tn Quorvane /f >/dev/null 2>&1 || true
  "$run" "$prefix" reg add "$version" /v CurrentBuildNumber /d "$build_number" /f >/dev/null
  rm -rf "$installed" "${log%/*}" "$drive/quorvane-test" "$drive/windows/system32/pnputil.exe" \
    "$drive/windows/system32/eventcreate.exe"
}
trap clean EXIT
clean

# --- The package ------------------------------------------------------------------

cmake --build "$build" --target package >/dev/null
zip=$(echo "$build"/quorvane-*-win-x64.zip)
name=$(basename "$zip" .zip)
folder='R&D (x86) ^kit'
mkdir -p "$drive/quorvane-test/$folder"
(cd "$drive/quorvane-test/$folder" && unzip -q "$zip")
package="$drive/quorvane-test/$folder/$name"
kit="C:\\quorvane-test\\$folder\\$name"

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
printf '@"%%SystemRoot%%\\System32\\cmd.exe" /d /c ^"%%*^"\r\n@echo exit status %%errorlevel%%\r\n' \
  >"$drive/quorvane-test/status.cmd"
# What a user may leave in a folder that the kit is run from: each records that it ran.
planted="$drive/quorvane-test/planted"
mkdir -p "$planted"
for program in reg.bat reg.cmd schtasks.bat pnputil.bat eventcreate.bat find.bat cmd.bat quorvane.bat; do
  printf '@echo %%~nx0>>C:\\quorvane-test\\planted.txt\r\n' >"$planted/$program"
done

# kit STATUS SCRIPT [ARG...]: runs a kit script from the planted folder, and checks its exit status.
kit() {
  want=$1
  shift
  out=$(cd "$planted" && "$run" "$prefix" 'C:\windows\system32\cmd.exe' /c 'C:\quorvane-test\status.cmd' "$@" 2>&1 | tr -d '\r') || true
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
cp "$standin" "$drive/windows/system32/eventcreate.exe"
# event ID TYPE: the last event is of the source Quorvane, with this ID and
# type, and the last line logged, without its date, as its description.
event() {
  got=$(tail -n 1 "$events" | tr -d '\r')
  want="/l|APPLICATION|/so|Quorvane|/t|$2|/id|$1|/d|${3:-$(last_logged)}"
  [ "$got" = "$want" ] || fail "event: $got
expected: $want"
}

# --- apply.cmd: the value, the status and the line it logs -------------------------------

again="restart the device or the machine for the setting to take effect"
stale="no - WARNING: this instance is not connected, so the touch panel in use keeps its former setting (see the deployment guide: stale instances)"
layout "$key1\\0000" "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters"
# pnputil|connected|disconnected|restart status|arguments|value|exit status|event type|logged after the key
while IFS='|' read -r pnputil connected disconnected restart arguments data status type logged; do
  standin "$pnputil"
  # shellcheck disable=SC2086
  QUORVANE_TEST_CONNECTED=$connected QUORVANE_TEST_DISCONNECTED=$disconnected QUORVANE_TEST_RESTART=$restart \
    kit "$status" "$kit\\apply.cmd" $arguments
  [ "$(value "$parameters1")" = "$data" ] || fail "apply.cmd $arguments: value $(value "$parameters1"), expected $data"
  switch=$(echo "$arguments" | grep -o -- -enable || echo none)
  want="switch $switch; status 0; key $parameters1$logged"
  [ "$(last_logged)" = "$want" ] || fail "apply.cmd $arguments logged: $(last_logged)
expected: $want"
  event 100 "$type"
done <<EOF
no|||||0x0|0|INFORMATION|
no|||0|-enable|0x1|0|INFORMATION|
yes|$id1||||0x0|0|INFORMATION|; present yes
yes|$id2|$id1||-enable|0x1|0|WARNING|; present $stale
yes|$id1||0|-enable /restart|0x1|0|INFORMATION|; present yes; restart done
yes|$id1||3010|/restart|0x0|3010|INFORMATION|; present yes; restart done, a reboot is needed to finish (3010)
yes|$id1||5|-enable /RESTART|0x1|0|INFORMATION|; present yes; restart failed (pnputil 5): $again
yes||$id1|0|/restart -enable|0x1|0|WARNING|; present $stale; restart failed (pnputil 1168): $again
no|||0|-enable /restart|0x1|0|INFORMATION|; restart not done: $again
EOF
[ "$(value "$root\\$id2\\Device Parameters")" = "" ] || fail "apply.cmd wrote a second instance"

# Statuses other than 0 pass through untouched, with their events, and an unknown argument runs nothing.
standin yes
layout
QUORVANE_TEST_CONNECTED=$id1 kit 1 "$kit\\apply.cmd" -enable /restart
[ "$(last_logged)" = "switch -enable; status 1; key none" ] || fail "no panel: logged $(last_logged)"
event 101 ERROR
layout "$key2\\5&2f&0&3\\Device Parameters"
kit 0 "$kit\\apply.cmd"
[ "$(last_logged)" = "switch none; status 0; key $root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters" ] ||
  fail "second device: logged $(last_logged)"
# Another program holds the guard's name.
"$run" "$prefix" "$standin" hold-guard 'C:\quorvane-test\guard' &
holder=$!
for _ in $(seq 200); do [ -e "$drive/quorvane-test/guard" ] && break; sleep 0.1; done
kit 2 "$kit\\apply.cmd" -enable
rm -f "$drive/quorvane-test/guard"
wait "$holder" || fail "the program holding the guard failed"
[ "$(last_logged)" = "switch -enable; status 2 - another program holds the name Quorvane Execute Mutex Name; if this comes at every start, see the deployment guide (status 2); key none" ] ||
  fail "guard held: logged $(last_logged)"
event 102 WARNING
# Without eventcreate, or without a log it can append to, apply.cmd still logs, or says so, and keeps its status.
rm "$drive/windows/system32/eventcreate.exe"
kit 0 "$kit\\apply.cmd"
[ "$(last_logged)" = "switch none; status 0; key $root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters; event not written (no eventcreate)" ] ||
  fail "no eventcreate: logged $(last_logged)"
cp "$standin" "$drive/windows/system32/eventcreate.exe"
mv "$log" "$log.kept" && mkdir "$log"
kit 0 "$kit\\apply.cmd"
rmdir "$log" && mv "$log.kept" "$log"
case "$out" in *"apply.cmd: could not append to \"C:\\windows\\Logs\\Quorvane\\quorvane.log\""*) ;; *) fail "a failed append was not reported: $out" ;; esac
event 100 INFORMATION "switch none; status 0; key $root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters"
lines=$(lines_logged)
kit 87 "$kit\\apply.cmd" -Enable
# An empty argument (from an empty variable) is refused, not taken for the end of them.
kit 87 "$kit\\apply.cmd" "" -enable
[ "$(value "$root\\USB\\VID_0EEF&PID_C069\\5&2f&0&3\\Device Parameters")" = 0x0 ] || fail "apply.cmd -Enable changed the value"
[ "$(lines_logged)" = "$lines" ] || fail "apply.cmd -Enable or \"\" -enable logged a line"

# --- apply.cmd /remove-stale ---------------------------------------------------------------

# instances: the instance IDs under both device keys, as the registry names them.
instances() {
  for key in "$key1" "$key2"; do "$run" "$prefix" reg query "$key" 2>/dev/null; done | tr -d '\r' |
    sed -n 's/^HKEY_LOCAL_MACHINE.SYSTEM.CurrentControlSet.Enum.//p' | LC_ALL=C sort | tr '\n' ' '
}
other='USB\VID_0EEF&PID_C069\5&2f&0&3'
first_only=" - the first touch panel's device key is there, so the second is never looked at (see the deployment guide: stale instances)"
# connected|disconnected|build|arguments|exit status|instance written|removed|instances left|event type|logged after the key
while IFS='|' read -r connected disconnected build arguments status written removed left type logged; do
  layout "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters" "$root\\$other\\Device Parameters"
  "$run" "$prefix" reg add "$version" /v CurrentBuildNumber /d "$build" /f >/dev/null
  lines=$(lines_logged)
  # shellcheck disable=SC2086
  QUORVANE_TEST_CONNECTED=$connected QUORVANE_TEST_DISCONNECTED=$disconnected kit "$status" "$kit\\apply.cmd" $arguments
  case "$written" in "") at="status 1$first_only; key none" ;; *) at="status 0; key $root\\$written\\Device Parameters" ;; esac
  [ "$(last_logged)" = "switch -enable; $at$logged" ] || fail "apply.cmd $arguments ($disconnected stale) logged: $(last_logged)
expected: switch -enable; $at$logged"
  event "10$status" "$type"
  want=$(for id in $(printf "%s" "$removed" | tr ';' ' '); do
    printf 'stale instance %s removed: pnputil status 0\n' "$(printf '%s' "$id" | tr a-z A-Z)"; done)
  got=$(tail -n "$(($(lines_logged) - lines))" "$log" | sed '$d' | tr -d '\r' | sed 's/^[^;]*; //')
  [ "$got" = "$want" ] || fail "apply.cmd $arguments logged the removals: $got
expected: $want"
  [ "$(instances)" = "$left" ] || fail "apply.cmd $arguments left the instances $(instances), expected $left"
  for id in $left; do
    want=; [ "$id" = "$written" ] && want=0x1
    [ "$(value "$root\\$id\\Device Parameters")" = "$want" ] || fail "apply.cmd $arguments: $id holds '$(value "$root\\$id\\Device Parameters")'"
  done
done <<EOF
$id2|$id1|19045|-enable|0|$id1||$id1 $id2 $other |WARNING|; present $stale
$id2|$id1|19045|-enable /remove-stale|0|$id2|$id1|$id2 $other |INFORMATION|; present yes; stale removed 1, not removed 0
|$id1;$id2|19045|/REMOVE-STALE -enable|0|$id1||$id1 $id2 $other |WARNING|; present $stale; stale none removed: no touch panel is connected
$id2|$id1|18363|-enable /remove-stale|0|$id1||$id1 $id2 $other |WARNING|; present $stale; stale none removed: pnputil removes devices from Windows 10 version 2004 on
$other|$id1;$id2|19045|-enable /remove-stale|1||$id1;$id2|$other |ERROR|; stale removed 2, not removed 0
EOF

# An instance name that would be script text if expanded: written by the
# program, then logged exactly and passed to no other program.
hostile='0"&echo pwned>pwned.txt&"!x^y (1)'
layout "$key2\\$hostile\\Device Parameters" "$root\\$other\\Device Parameters"
QUORVANE_TEST_CONNECTED=$other QUORVANE_TEST_DISCONNECTED="USB\\VID_0EEF&PID_C069\\$hostile" kit 0 "$kit\\apply.cmd" -enable /remove-stale
want="switch -enable; status 0; key unknown - WARNING: the kit does not examine an instance whose name holds a double quote, and this one comes first: $root\\USB\\VID_0EEF&PID_C069\\$hostile; stale removed 0, not removed 1"
[ "$(last_logged)" = "$want" ] || fail "a hostile name: logged $(last_logged)
expected: $want"
event 100 WARNING "$(printf '%s' "$want" | tr '"' "'")"
[ "$(tail -n 2 "$log" | head -n 1 | tr -d '\r' | sed 's/^[^;]*; //')" = "stale instance not removed, its name holds a double quote: $(printf '%s' "USB\\VID_0EEF&PID_C069\\$hostile" | tr a-z A-Z)" ] ||
  fail "a hostile name: logged $(tail -n 2 "$log" | head -n 1)"
[ "$(value "$key2\\$hostile\\Device Parameters")" = 0x1 ] || fail "the program did not write the instance with a hostile name"

# --- install.cmd, uninstall.cmd, undo.cmd --------------------------------------------------

layout "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters" "$key2\\5&2f&0&3\\Device Parameters"
kit 87 "$kit\\install.cmd" /enable
kit 87 "$kit\\install.cmd" "" -enable
[ ! -e "$installed" ] || fail "install.cmd /enable or \"\" -enable installed"

# element A/B: the text of the installed task definition's element B in A.
element() {
  xmllint --xpath "string(//*[local-name()='$(printf '%s' "$1" | sed "s|/|']/*[local-name()='|g")'])" \
    "$installed/quorvane-task.xml"
}
for arguments in "-enable /restart /remove-stale" ""; do
  # shellcheck disable=SC2086
  QUORVANE_TEST_CONNECTED=$id1 kit 0 "$kit\\install.cmd" $arguments
  # The definition registered is the one shipped, byte for byte; the arguments are in startup.cmd.
  for file in quorvane.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 quorvane-task.xml README.md LICENSE docs/deploying.md; do
    cmp -s "$package/$file" "$installed/$file" || fail "install.cmd $arguments: $file not installed"
  done
  [ "$(cat "$installed/startup.cmd")" = "$(printf '@"%%~dp0apply.cmd"%s\r' "${arguments:+ $arguments}")" ] ||
    fail "install.cmd $arguments wrote startup.cmd: $(cat "$installed/startup.cmd")"
  for pair in "Command=\"%ProgramFiles%\\Quorvane\\startup.cmd\"" "Arguments=" "UserId=S-1-5-18" \
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

# Asking for their usage removes nothing.
kit 87 "$kit\\uninstall.cmd" /?
kit 87 "$kit\\undo.cmd" /?
[ -e "$installed/apply.cmd" ] && [ "$(value "$parameters1")" = 0x0 ] || fail "uninstall.cmd /? or undo.cmd /? removed something"
kit 0 "$kit\\uninstall.cmd"
[ ! -e "$installed" ] && [ ! -e "$task_file" ] || fail "uninstall.cmd from the package left the folder or the task"
[ "$(value "$parameters1")" = 0x0 ] && [ -s "$log" ] || fail "uninstall.cmd removed the value or the log"
kit 0 "$kit\\uninstall.cmd"

# From the installed folder itself, the script leaves the folder to its last
# line. Wine, unlike Windows, holds the script
# open until it ends, so the emptied folder stays, and the status must say so.
kit 0 "$kit\\install.cmd"
out=$(cd "$planted" && "$run" "$prefix" 'C:\windows\system32\cmd.exe' /c 'C:\quorvane-test\status.cmd' 'C:\Program Files\Quorvane\uninstall.cmd' 2>&1 | tr -d '\r')
[ ! -e "$task_file" ] || fail "uninstall.cmd from its folder left the task"
[ -z "$(find "$installed" -type f 2>/dev/null)" ] || fail "uninstall.cmd from its folder left files"
want="exit status 0"
[ -e "$installed" ] && want="exit status 1603"
[ "$(printf '%s\n' "$out" | tail -n 1)" = "$want" ] || fail "uninstall.cmd from its folder printed '$out', expected '$want'"

"$run" "$prefix" reg add "$root\\$id1\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 0 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v Other /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$key2\\$hostile\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
kit 1 "$kit\\undo.cmd"
for instance in "$id1" "$id2" "$other"; do
  [ "$(value "$root\\$instance\\Device Parameters")" = "" ] || fail "undo.cmd left the value of $instance"
done
"$run" "$prefix" reg query "$root\\$id2\\Device Parameters" /v Other >/dev/null || fail "undo.cmd deleted another value"
[ "$(value "$key2\\$hostile\\Device Parameters")" = 0x1 ] || fail "undo.cmd passed on a name with a double quote"
case "$out" in *"undo.cmd: not deleted, the key name holds a double quote: $root\\USB\\VID_0EEF&PID_C069\\$hostile\\Device Parameters"*) ;;
  *) fail "undo.cmd did not name the key it left: $out" ;; esac

[ ! -e "$drive/quorvane-test/planted.txt" ] || fail "programs planted in the current directory ran: $(cat "$drive/quorvane-test/planted.txt")"
[ ! -e "$planted/pwned.txt" ] || fail "an instance name ran as a command"

echo "1 passed, 0 failed"
