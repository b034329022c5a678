#!/bin/sh
# The deployment kit as administrators get it: the release package unpacked
# into a folder whose path has spaces, "&", "(", ")" and "^", its scripts run
# under Wine's cmd, reg and schtasks from a current directory where a user has
# planted programs with Windows' names, and the registry, the log, the events,
# the installed files and the task definition read back independently.
#   kit.sh PREFIX BUILD_DIR STANDIN STANDINS_DIR
# Wine's cfgmgr32, setupapi and newdev know no devices: the DLLs in
# STANDINS_DIR stand in for them in System32, for quorvane-kit.exe alone, for
# the device tree that QUORVANE_TEST_* describe (see device_standin.cpp). Wine's ReportEventW records nothing but prints each
# event: its type, ID and description are read from that.
set -eu
prefix=$1 build=$2 standin=$3 standins=$4
run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run"
drive="$prefix/drive_c"
system32="$drive/windows/system32"
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

key1='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01'
key2='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_0EEF&PID_C069'
hid='HKLM\SYSTEM\CurrentControlSet\Enum\HID\VID_04F3&PID_0026&MI_01'
id1='USB\VID_04F3&PID_0026&MI_01\6&1a2b3c4d&0&0001'
id2='USB\VID_04F3&PID_0026&MI_01\6&1a2b3c4d&0&0002'
other='USB\VID_0EEF&PID_C069\5&2f&0&3'
child='HID\VID_04F3&PID_0026&MI_01\7&2b&0&0000'
root='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum'
source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorvane'
overrides='HKCU\Software\Wine\AppDefaults\quorvane-kit.exe\DllOverrides'
installed="$drive/Program Files/Quorvane"
parameters1="$root\\$id1\\Device Parameters"
installed_kit='C:\Program Files\Quorvane\quorvane-kit.exe'
log="$drive/windows/logs/Quorvane/quorvane.log"
task_file="$system32/tasks/Quorvane"

# The device functions stand in only while a case asks for them; Wine's own
# DLLs are kept aside and put back.
devices() {
  for dll in cfgmgr32 setupapi newdev; do
    [ -e "$system32/$dll.dll.wine" ] || cp "$system32/$dll.dll" "$system32/$dll.dll.wine"
    if [ "$1" = yes ]; then
      # System32's files are hard links shared with other prefixes: replaced, never written through.
      cp --remove-destination "$standins/$dll.dll" "$system32/$dll.dll"
      "$run" "$prefix" reg add "$overrides" /v "$dll" /d native /f >/dev/null
    else
      cp --remove-destination "$system32/$dll.dll.wine" "$system32/$dll.dll"
    fi
  done
  [ "$1" = yes ] || "$run" "$prefix" reg delete "$overrides" /f >/dev/null 2>&1 || true
}
clean() {
  for key in "$key1" "$key2" "$hid" "$source"; do "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true; done
  "$run" "$prefix" schtasks /delete /tn Quorvane /f >/dev/null 2>&1 || true
  devices no
  rm -rf "$installed" "$installed.new" "$installed.old" "${log%/*}" "$drive/quorvane-test" "$system32"/*.dll.wine
}
"$run" --fresh "$prefix"
# One Wine server for the whole test, as Windows runs one session: its end
# is a restart of Windows, which keeps the registry but, as Windows documents
# of a full shutdown, not its volatile keys.
# Wine's own services, started by the first program after it, stay with the
# server: they are started with nothing to hold of a command's output.
server() { WINEPREFIX="$prefix" /usr/lib/wine/wineserver64 "$@" </dev/null >/dev/null 2>&1; }
boot() {
  server -p
  "$run" "$prefix" reg query 'HKLM\SYSTEM' </dev/null >/dev/null 2>&1
}
reboot() {
  server -k
  boot
}
boot
trap 'clean; server -k' EXIT
clean

# --- The package ------------------------------------------------------------------

zip=$(echo "$build"/quorvane-*-win-x64.zip)
name=$(basename "$zip" .zip)
folder='R&D (x86) ^kit'
mkdir -p "$drive/quorvane-test/$folder"
(cd "$drive/quorvane-test/$folder" && unzip -q "$zip")
package="$drive/quorvane-test/$folder/$name"
kit="C:\\quorvane-test\\$folder\\$name"

files=$(cd "$package" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
expected="LICENSE README.md SHA256SUMS apply.cmd detect.ps1 docs/deploying.md docs/design.md install.cmd quorvane-kit.exe quorvane-task.xml quorvane.exe remediation/detect.ps1 remediation/remediate.ps1 undo.cmd uninstall.cmd "
[ "$files" = "$expected" ] || fail "the package holds: $files; expected: $expected"
(cd "$package" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the package"
for doc in README.md docs/deploying.md; do
  for link in $(grep -oE '\]\([^)]+\)' "$package/$doc" | sed -E 's/^\]\(//; s/\)$//; s/#.*//' | grep -vE '^([a-z]+:|$)'); do
    [ -e "$(dirname "$package/$doc")/$link" ] || fail "$doc links to $link, which is not in the package"
  done
done
[ "$(od -An -tx1 -N 2 "$package/quorvane-task.xml" | tr -d ' \n')" = fffe ] ||
  fail "quorvane-task.xml is not UTF-16 LE with a byte-order mark: Windows' schtasks would refuse it"
xmllint --noout "$package/quorvane-task.xml" || fail "quorvane-task.xml is not well-formed"
# DLLs of the device functions' names, planted beside the program: each records it if it is ever loaded.
for dll in cfgmgr32 setupapi newdev; do cp "$standins/planted.dll" "$package/$dll.dll"; done

# --- Running the scripts --------------------------------------------------------------

# A Unix exit status keeps 8 bits: 3010 and 1603 need cmd to say them. (Not
# through "call": Wine's loses a called script's status.)
printf '@"%%SystemRoot%%\\System32\\cmd.exe" /d /c ^"%%*^"\r\n@echo exit status %%errorlevel%%\r\n' \
  >"$drive/quorvane-test/status.cmd"
# What a user may leave in a folder that the kit is run from: each records that it ran.
planted="$drive/quorvane-test/planted"
mkdir -p "$planted"
for program in reg.bat reg.cmd schtasks.bat cmd.bat quorvane.bat quorvane-kit.bat; do
  printf '@echo %%~nx0>>C:\\quorvane-test\\planted.txt\r\n' >"$planted/$program"
done

# kit STATUS SCRIPT [ARG...]: runs a kit script from the planted folder, and
# checks its exit status. Leaves what it printed in $out and the events it
# wrote, "TYPE ID DESCRIPTION" a line, as Wine prints them, in $events.
kit() {
  want=$1
  shift
  out=$(cd "$planted" && WINEDEBUG=-all,+eventlog,fixme+advapi "$run" "$prefix" 'C:\windows\system32\cmd.exe' /c \
    'C:\quorvane-test\status.cmd' "$@" 2>&1 | tr -d '\r') || true
  got=$(printf '%s\n' "$out" | sed -n 's/^exit status //p' | tail -n 1)
  [ "$got" = "$want" ] || fail "$*: exit status '$got', expected $want; it printed: $out"
  # One line an event: "TYPE ID", then its strings, each after a tab.
  events=$(printf '%s\n' "$out" | sed -nE \
    -e 's/^.*fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x000(.),0x0000,0x000000(..),.*/@\1 \2/p' \
    -e 's/^.*:eventlog:ReportEventW L"(.*)$/\1/p' |
    awk '/^@/ { if (e != "") print e; e = substr($0, 2); next } { e = e "\t" $0 } END { if (e != "") print e }')
}
value() {
  "$run" "$prefix" reg query "$1" /v SelectiveSuspendOn 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_DWORD *//p'
}
lines_logged() { if [ -f "$log" ]; then wc -l <"$log"; else echo 0; fi; }
# logged N: the log's last N lines (1 by default), without their times; every
# time is ISO 8601 UTC.
logged() {
  tail -n "${1:-1}" "$log" | tr -d '\r' | while IFS= read -r line; do
    case "$line" in
      [0-9][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z\;\ *) printf '%s\n' "${line#*; }" ;;
      *) printf 'NO TIME: %s\n' "$line" ;;
    esac
  done
}
layout() {
  for key in "$key1" "$key2"; do "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true; done
  for key in "$@"; do "$run" "$prefix" reg add "$key" /f >/dev/null; done
}
# event TYPE ID [DESCRIPTION]: the run wrote one event, of this type (1 error,
# 2 warning, 4 information) and ID, described by the line logged last (Wine
# prints a long description cut, and escaped as C). Leaves its other strings,
# "|"-separated, in $fields.
event() {
  want=$(printf '%s' "${3:-$(logged)}" | sed 's/\\/\\\\/g; s/"/\\"/g')
  head=$(printf '%s' "$events" | cut -f1)
  type=${head%% *} id=${head#* }
  text=$(printf '%s' "$events" | cut -f2)
  fields=$(printf '%s' "$events" | cut -f3- | sed 's/"\t/|/g; s/"$//; s/\\\\/\\/g')
  case "$text" in *'"...') text=${text%'"...'}; want=$(printf '%s' "$want" | cut -c1-${#text}) ;; *) text=${text%'"'} ;; esac
  [ "$(printf '%s\n' "$events" | wc -l)" = 1 ] && [ "$type $id" = "$1 $(printf '%02x' "$2")" ] && [ "$text" = "$want" ] ||
    fail "events: $events
expected one: $1 $(printf '%02x' "$2") $want"
}

# --- A package that standard users can change, or reached through a link, runs nothing ---

# A copy of the package as a user could make it, its programs replaced.
user="$drive/quorvane-test/user"
cp -r "$package" "$user"
cp "$standin" "$user/quorvane.exe"
cp "$standin" "$user/quorvane-kit.exe"
# leave_update: Program Files\Quorvane.new as an update cut short leaves it,
# with enough files that an install takes a while to clear them.
# when_cleared COMMAND...: runs COMMAND in the background the moment an
# install first deletes from it: its first change under Program Files, after
# its check. stop_watching ends it if that never comes.
watch="$drive/quorvane-test/watch"
leave_update() {
  mkdir -p "$installed.new"
  (cd "$installed.new" && seq 1000 | xargs touch)
}
when_cleared() {
  rm -f "$watch" "$watch.pid"
  (
    inotifywait -t 120 -e delete "$installed.new" >/dev/null 2>"$watch" &
    echo $! >"$watch.pid"
    wait $! && "$@"
  ) 2>/dev/null &
  watcher=$!
  until grep -q 'Watches established' "$watch" 2>/dev/null; do sleep 0.01; done
}
stop_watching() { kill "$(cat "$watch.pid")" 2>/dev/null || true; wait "$watcher" || true; }

# Wine makes a folder's or file's permissions from its mode: 0777 and 0666 let Everyone change it.
# mode|what is made changeable, below C:\quorvane-test|scripts|what the refusal says of it
"$run" "$prefix" reg add "$parameters1" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
while IFS='|' read -r mode path scripts said; do
  chmod "$mode" "$drive/quorvane-test/$path"
  for script in $scripts; do
    kit 1603 "$kit\\$script"
    case "$out" in *"quorvane-kit.exe: \"C:\\quorvane-test\\$(printf '%s' "$path" | tr / '\\')\" $said"*) ;;
      *) fail "$script with $path at mode $mode printed: $out" ;; esac
  done
  chmod "$([ -d "$drive/quorvane-test/$path" ] && echo 0755 || echo 0644)" "$drive/quorvane-test/$path"
done <<EOF
0777|$folder|install.cmd apply.cmd uninstall.cmd undo.cmd|lets Everyone delete
0666|$folder/$name/quorvane-task.xml|install.cmd|lets Everyone delete
0666|$folder/$name/quorvane-kit.exe|undo.cmd|lets Everyone delete
EOF
[ "$(value "$parameters1")" = 0x1 ] || fail "undo.cmd deleted the value from a package users can change"
# A link that a user made to the package is judged itself, not where it
# leads; the user repoints it once the install has begun.
ln -s "$folder/$name" "$drive/quorvane-test/link"
leave_update
when_cleared ln -sfn user "$drive/quorvane-test/link"
kit 1603 'C:\quorvane-test\link\install.cmd' -enable
stop_watching
[ "$(ls "$installed.new" | wc -l)" = 1000 ] || fail "an install through a link changed Program Files"
rm -r "$installed.new"
case "$out" in *'quorvane-kit.exe: "C:\quorvane-test\link" is a link'*) ;; *) fail "an install through a link printed: $out" ;; esac
rm "$drive/quorvane-test/link"
[ ! -e "$installed" ] || fail "install.cmd installed from a package users can change"

# --- apply.cmd: the value, the status, the line logged, the event and the verdict --------

next="takes effect when the panel next starts (/restart, or a restart of Windows)"
cr13="CM_Locate_DevNodeW answered CR 0x13 for connected devices and CR 0x13 for all"
gone="but is not connected: the touch panel in use keeps its own setting (see the deployment guide: stale instances)"
put_off="restart deferred until Windows restarts (3010): takes effect when Windows restarts"
# agrees ARGUMENT...: /status, asked as the run before it was, ends with the
# verdict that ends the run's line, and exits with 0 only for "in effect".
agrees() {
  verdict=$(logged | sed -E 's/^.*; ((in effect|pending|not in effect - WARNING): )/\1/')
  case "$verdict" in "in effect: "*) want=0 ;; *) want=1 ;; esac
  kit "$want" "$kit\\quorvane-kit.exe" /status "$@"
  said=$(printf '%s\n' "$out" | grep -v '^exit status ' | tail -n 1 | sed -E 's/ - (fixable here|needs a person)$//')
  [ "$said" = "$verdict" ] || fail "/status $* said: $said
the run before it: $verdict"
}
layout "$key1\\0000" "$parameters1" "$root\\$id2\\Device Parameters" "$root\\$other" "$root\\$child"
# device stand-ins|devices|restart|arguments|value|exit status|event type|restarts asked for|then|logged after the key
while IFS="|" read -r stand_in devices restart arguments data status type restarts then after; do
  devices "$stand_in"
  rm -f "$drive/quorvane-test/devices.txt"
  # shellcheck disable=SC2086
  QUORVANE_TEST_DEVICES=$devices QUORVANE_TEST_RESTART=$restart kit "$status" "$kit\\apply.cmd" $arguments
  [ "$(value "$parameters1")" = "$data" ] || fail "apply.cmd $arguments: value $(value "$parameters1"), expected $data"
  switch=$(echo "$arguments" | grep -o -- -enable || echo none)
  want="switch $switch; status 0; key $parameters1$after"
  [ "$(logged)" = "$want" ] || fail "apply.cmd $arguments logged: $(logged)
expected: $want"
  event "$type" 100
  asked=$(grep -c DIF_PROPERTYCHANGE "$drive/quorvane-test/devices.txt" 2>/dev/null || true)
  [ "${asked:-0}" = "$restarts" ] || fail "apply.cmd $arguments asked for $asked restarts, expected $restarts"
  # shellcheck disable=SC2086
  QUORVANE_TEST_DEVICES=$devices agrees $(echo "$arguments" | grep -o -- -enable)
  [ "$then" = reboot ] || continue
  # Windows restarts in full, and the panel with it: what the kit waited for is done.
  reboot
  # shellcheck disable=SC2086
  QUORVANE_TEST_DEVICES=$devices kit 0 "$kit\\quorvane-kit.exe" /status $(echo "$arguments" | grep -o -- -enable)
  case "$out" in *"in effect: $id1 holds SelectiveSuspendOn "*", is working and has started since the kit set it"*) ;;
    *) fail "after a restart of Windows, /status said: $out" ;; esac
done <<EOF
no||||0x0|0|2|0||; device unknown: $cr13; not in effect - WARNING: $id1 holds SelectiveSuspendOn 0 but Windows could not tell its state: $cr13
yes|$id1=started|0|-enable /restart|0x1|0|4|1||; device working; restart done; in effect: $id1 holds SelectiveSuspendOn 1, is working and has started since the kit set it
yes|$id1=started|reboot|/RESTART|0x0|3010|4|1||; device working; restart deferred until Windows restarts (3010); pending: $id1 holds SelectiveSuspendOn 0; $put_off
yes|$id1=started|0|/restart|0x0|3010|4|0|reboot|; device working; restart not tried: Windows put off the last one until it restarts (3010); pending: $id1 holds SelectiveSuspendOn 0; $put_off
yes|$id1=started|late|-enable /restart|0x1|0|4|1||; device working; restart done; in effect: $id1 holds SelectiveSuspendOn 1, is working and has started since the kit set it
yes|$id1=started|restart|/restart|0x0|3010|4|1|reboot|; device working; restart deferred until Windows restarts (3010); pending: $id1 holds SelectiveSuspendOn 0; $put_off
yes|$id1=started|5|-enable /restart|0x1|0|2|1|reboot|; device working; restart failed - WARNING: SetupDiCallClassInstaller failed (error 5); pending: $id1 holds SelectiveSuspendOn 1; the kit's restart of it failed: takes effect when Windows restarts
yes|$id2=started|0|/restart|0x0|0|2|0||; device disconnected; restart not done; not in effect - WARNING: $id1 holds SelectiveSuspendOn 0 $gone
yes|$id1=22;$id2=started||-enable|0x1|0|2|0||; device problem 22 (disabled); not in effect - WARNING: $id1 holds SelectiveSuspendOn 1 but is not working: problem 22 (disabled)
yes|$id1=43|0|/restart|0x0|0|2|1||; device problem 43 (stopped after it reported problems); restarted, but it did not start; not in effect - WARNING: $id1 holds SelectiveSuspendOn 0 but is not working: problem 43 (stopped after it reported problems)
yes|$id1=started;$other=started||-enable|0x1|0|2|0||; device working; not in effect - WARNING: another instance of a touch panel is connected without the setting: $other: working; SelectiveSuspendOn absent
yes|$id1=started||/remove-stale|0x0|0|4|0||; device working; stale removed 0, not removed 0; pending: $id1 holds SelectiveSuspendOn 0; $next
EOF
[ "$(value "$root\\$id2\\Device Parameters")" = "" ] || fail "apply.cmd wrote a second instance"
# A second panel behind the first, late to start, is never removed for it.
"$run" "$prefix" reg query "$root\\$id2" >/dev/null 2>&1 || fail "/remove-stale removed a panel behind the one written"
# The event's strings after the line: status, verdict, instance, value, state.
[ "$fields" = "0|pending|$id1|SelectiveSuspendOn 0|working" ] || fail "the event's fields: $fields"

# Stale instances ahead of the connected panel are removed only when asked,
# with their children, and not one that is plugged in again as its removal
# comes. Windows is told where to say that a reboot is needed, so that it
# shows no restart prompt. One without Device Parameters decides nothing, and
# stays.
rm -f "$drive/quorvane-test/devices.txt"
QUORVANE_TEST_DEVICES="$id1=back;$id2=started" kit 0 "$kit\\apply.cmd" -enable /remove-stale
[ "$(logged 2)" = "stale instance $id1 kept: it is in the device tree again
switch -enable; status 0; key $parameters1; device working; stale removed 0, not removed 0, connected again 1 ($id1); not in effect - WARNING: another instance of a touch panel is connected without the setting: $id2: working; SelectiveSuspendOn absent" ] ||
  fail "a stale instance plugged in again logged: $(logged 2)"
tree="$id2=started;$other=back;$child=disconnected<$id1"
QUORVANE_TEST_DEVICES=$tree QUORVANE_TEST_REMOVE=reboot kit 3010 "$kit\\apply.cmd" -enable /remove-stale
[ "$(logged 2)" = "stale instance $id1 removed, a reboot is needed to finish
switch -enable; status 0; key $root\\$id2\\Device Parameters; device working; stale removed 1 ($id1), not removed 0; a reboot is needed to finish the removal; pending: $id2 holds SelectiveSuspendOn 1; $next" ] ||
  fail "stale instances logged: $(logged 2)"
event 4 100
for key in "$root\\$id1" "$root\\$child"; do
  "$run" "$prefix" reg query "$key" >/dev/null 2>&1 && fail "$key was not removed"
done
"$run" "$prefix" reg query "$key1\\0000" >/dev/null 2>&1 || fail "an instance without Device Parameters was removed"
[ "$(value "$root\\$id2\\Device Parameters")" = 0x1 ] || fail "the connected instance was not written"
[ "$(tr -d '\r' <"$drive/quorvane-test/devices.txt" | grep DiUninstallDevice)" = "DiUninstallDevice $id1: NeedReboot given" ] ||
  fail "removals asked for: $(cat "$drive/quorvane-test/devices.txt")"

# An instance name that would be script text if expanded is written, logged
# exactly and passed on as data.
hostile='0"&echo pwned>pwned.txt&"!x^y (1) %PATH%'
layout "$key2\\$hostile\\Device Parameters" "$root\\$other\\Device Parameters"
QUORVANE_TEST_DEVICES=$other=started kit 0 "$kit\\apply.cmd" -enable /remove-stale
[ "$(logged 2)" = "stale instance USB\\VID_0EEF&PID_C069\\$hostile removed
switch -enable; status 0; key $root\\$other\\Device Parameters; device working; stale removed 1 (USB\\VID_0EEF&PID_C069\\$hostile), not removed 0; pending: $other holds SelectiveSuspendOn 1; $next" ] ||
  fail "a hostile name: logged $(logged 2)"
layout "$key2\\$hostile\\Device Parameters"
kit 0 "$kit\\apply.cmd" -enable
[ "$(logged)" = "switch -enable; status 0; key $root\\USB\\VID_0EEF&PID_C069\\$hostile\\Device Parameters; device disconnected; not in effect - WARNING: USB\\VID_0EEF&PID_C069\\$hostile holds SelectiveSuspendOn 1 $gone" ] ||
  fail "a hostile name: logged $(logged)"
event 2 100

# Statuses other than 0 pass through, with their events and ERROR; an unknown argument runs nothing.
layout
kit 1 "$kit\\apply.cmd" -enable /restart
[ "$(logged)" = "switch -enable; status 1 - ERROR: not written; key none" ] || fail "no panel: logged $(logged)"
event 1 101
[ "$fields" = "1|none|||" ] || fail "the event's fields when nothing was written: $fields"
layout "$root\\$other\\Device Parameters"
"$run" "$prefix" "$standin" hold-guard 'C:\quorvane-test\guard' &
holder=$!
for _ in $(seq 200); do [ -e "$drive/quorvane-test/guard" ] && break; sleep 0.1; done
kit 2 "$kit\\apply.cmd" -enable
rm -f "$drive/quorvane-test/guard"
wait "$holder" || fail "the program holding the guard failed"
[ "$(logged)" = "switch -enable; status 2 - ERROR: another program holds the name Quorvane Execute Mutex Name; if this comes at every start, see the deployment guide (status 2); key none" ] ||
  fail "guard held: logged $(logged)"
event 2 102
# The name taken by what no copy of quorvane.exe or the kit makes keeps no run out.
"$run" "$prefix" "$standin" hold-name 'C:\quorvane-test\guard' &
holder=$!
for _ in $(seq 200); do [ -e "$drive/quorvane-test/guard" ] && break; sleep 0.1; done
QUORVANE_TEST_DEVICES=$other=started kit 0 "$kit\\apply.cmd" -enable
rm -f "$drive/quorvane-test/guard"
wait "$holder" || fail "the program holding the guard's name failed"
case "$(logged)" in "switch -enable; status 0 - WARNING: the name Quorvane Execute Mutex Name is taken by an object of another kind (error 6), no copy of the kit's: written all the same; key $root\\$other\\Device Parameters; device working; pending: "*) ;;
  *) fail "the guard's name taken: logged $(logged)" ;; esac
[ "$(value "$root\\$other\\Device Parameters")" = 0x1 ] || fail "the guard's name taken: not written"
"$run" "$prefix" reg delete "$root\\$other\\Device Parameters" /v SelectiveSuspendOn /f >/dev/null
lines=$(lines_logged)
kit 87 "$kit\\apply.cmd" -Enable
# Another verb of quorvane-kit.exe is no argument of apply.cmd's.
kit 87 "$kit\\apply.cmd" /install
# An empty argument (from an empty variable) is refused, not taken for the end of them.
kit 87 "$kit\\apply.cmd" "" -enable
[ "$(value "$root\\$other\\Device Parameters")" = "" ] && [ "$(lines_logged)" = "$lines" ] ||
  fail "apply.cmd -Enable or \"\" -enable ran"
# A log that cannot be appended to is said on stderr and in the event, and the status stays.
mv "$log" "$log.kept" && mkdir "$log"
QUORVANE_TEST_DEVICES=$other=started kit 0 "$kit\\apply.cmd"
rmdir "$log" && mv "$log.kept" "$log"
written="switch none; status 0; key $root\\$other\\Device Parameters; device working; pending: $other holds SelectiveSuspendOn 0; $next; not logged - WARNING: could not open C:\\windows\\Logs\\Quorvane\\quorvane.log (error 5)"
case "$out" in *"quorvane-kit.exe: $written"*) ;; *) fail "a failed append was not reported: $out" ;; esac
event 2 100 "$written"

# Two runs at once: the second waits while the first holds the log, here
# restarting the panel, and both lines are whole.
rm -f "$drive/quorvane-test/devices.txt"
(QUORVANE_TEST_DEVICES=$other=started QUORVANE_TEST_RESTART=slow kit 0 "$kit\\apply.cmd" /restart) &
first=$!
for _ in $(seq 200); do grep -q DIF_PROPERTYCHANGE "$drive/quorvane-test/devices.txt" 2>/dev/null && break; sleep 0.1; done
QUORVANE_TEST_DEVICES=$other=started kit 0 "$kit\\apply.cmd" -enable
wait "$first" || fail "the first of two runs at once failed"
[ "$(logged 2)" = "switch none; status 0; key $root\\$other\\Device Parameters; device working; restart done; in effect: $other holds SelectiveSuspendOn 0, is working and has started since the kit set it
switch -enable; status 0; key $root\\$other\\Device Parameters; device working; pending: $other holds SelectiveSuspendOn 1; $next" ] || fail "two runs at once logged: $(logged 2)"
event 4 100

# --- quorvane-kit.exe /status: a verdict, read-only ---------------------------------------

# setvalue KEY VALUE: a REG_DWORD, "absent" for none, "sz" for a REG_SZ of "1".
setvalue() {
  case "$2" in
    absent) "$run" "$prefix" reg delete "$1" /v SelectiveSuspendOn /f >/dev/null 2>&1 || true ;;
    sz) "$run" "$prefix" reg add "$1" /v SelectiveSuspendOn /t REG_SZ /d 1 /f >/dev/null ;;
    *) "$run" "$prefix" reg add "$1" /v SelectiveSuspendOn /t REG_DWORD /d "$2" /f >/dev/null ;;
  esac
}
parameters2="$root\\$id2\\Device Parameters"
layout "$parameters1" "$parameters2"
rm -f "$drive/quorvane-test/devices.txt"
lines=$(lines_logged)
# instance 1's value ("none": no device key; "empty": the first key without
# instances, the second panel's instance working)|instance 2's|devices|arguments|exit status|the last line printed
while IFS='|' read -r value1 value2 tree arguments status verdict; do
  case "$value1" in
    none) layout ;;
    empty) layout "$key1" "$root\\$other\\Device Parameters" ;;
    *) setvalue "$parameters1" "$value1" && setvalue "$parameters2" "$value2" ;;
  esac
  before=$("$run" "$prefix" reg query "$key1" /s 2>&1 || true)
  # shellcheck disable=SC2086
  QUORVANE_TEST_DEVICES=$tree kit "$status" "$kit\\quorvane-kit.exe" /status $arguments
  said=$(printf '%s\n' "$out" | grep -v '^exit status ')
  [ "$(printf '%s\n' "$said" | tail -n 1)" = "$verdict" ] || fail "/status $arguments with $tree printed: $said
expected last: $verdict"
  [ -z "$events" ] && [ "$("$run" "$prefix" reg query "$key1" /s 2>&1 || true)" = "$before" ] ||
    fail "/status $arguments with $tree wrote an event ($events) or changed the registry"
  case "$value1" in none | empty) layout "$parameters1" "$parameters2" ;; esac
  last=$verdict
done <<EOF2
1|absent|$id1=started|-enable|1|pending: $id1 holds SelectiveSuspendOn 1, set when the kit did not see it; $next - fixable here
0|absent|$id1=started|-enable|1|not in effect - WARNING: $id1, the instance quorvane.exe writes, has SelectiveSuspendOn 0, not 1 - fixable here
absent|0|$id1=started;$id2=started||1|not in effect - WARNING: $id1, the instance quorvane.exe writes, has SelectiveSuspendOn absent, not 0 - fixable here
sz|absent|$id1=started|-enable|1|not in effect - WARNING: $id1, the instance quorvane.exe writes, has SelectiveSuspendOn of the wrong type, not 1 - fixable here
1|1|$id2=started|-enable|1|not in effect - WARNING: $id1 holds SelectiveSuspendOn 1 $gone - needs a person
1|absent|$id1=22|-enable|1|not in effect - WARNING: $id1 holds SelectiveSuspendOn 1 but is not working: problem 22 (disabled) - needs a person
none||$id1=started|-enable|1|not in effect - WARNING: no touch panel: neither touch panel's device key is in the registry - needs a person
empty||$other=started|-enable|1|not in effect - WARNING: the first touch panel's device key is there with no instance that quorvane.exe can write, so the second is never looked at (see the deployment guide: stale instances) - needs a person
1|absent|$id1=started;$id2=started|-enable|1|not in effect - WARNING: another instance of a touch panel is connected without the setting: $id2: working; SelectiveSuspendOn absent - needs a person
EOF2
# What it compared with, then one line per instance, in the order
# quorvane.exe searches them, with its mark.
[ "$said" = "compared with SelectiveSuspendOn 1: -enable, as asked
$id1: working; SelectiveSuspendOn 1 (written by quorvane.exe)
$id2: working; SelectiveSuspendOn absent
$last" ] || fail "/status printed: $said"
kit 87 "$kit\\quorvane-kit.exe" /status /restart
[ "$(lines_logged)" = "$lines" ] && [ ! -e "$drive/quorvane-test/devices.txt" ] ||
  fail "/status logged a line or restarted or removed a device: $(cat "$drive/quorvane-test/devices.txt" 2>/dev/null)"

# --- install.cmd, uninstall.cmd, undo.cmd --------------------------------------------------

layout "$parameters1" "$root\\$id2\\Device Parameters"
kit 87 "$kit\\install.cmd" /enable
kit 87 "$kit\\install.cmd" "" -enable
[ ! -e "$installed" ] || fail "install.cmd /enable or \"\" -enable installed"
# An earlier kit's eventcreate made the source its own.
"$run" "$prefix" reg add "$source" /v CustomSource /t REG_DWORD /d 1 /f >/dev/null

# element A/B: the text of the installed task definition's element B in A.
element() {
  xmllint --xpath "string(//*[local-name()='$(printf '%s' "$1" | sed "s|/|']/*[local-name()='|g")'])" \
    "$installed/quorvane-task.xml"
}
# recorded: the choice install.cmd recorded, as "Enable Restart RemoveStale".
recorded() {
  for name in Enable Restart RemoveStale; do
    "$run" "$prefix" reg query 'HKLM\SOFTWARE\Quorvane' /v "$name" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_DWORD *0x//p'
  done | tr '\n' ' '
}
# The first install: once it has begun (clearing an update cut short), a user
# who could rename the package's folder (here on the Unix side) puts their
# copy in its place. What is installed and run is what was checked, read
# through the handles held since.
for arguments in "-enable /restart /remove-stale" ""; do
  [ -n "$arguments" ] && leave_update && when_cleared sh -c 'mv "$1" "$1.checked" && mv "$2" "$1"' - "$package" "$user"
  # shellcheck disable=SC2086
  QUORVANE_TEST_DEVICES=$id1=started kit 0 "$kit\\install.cmd" $arguments
  checked=$package
  if [ -n "$arguments" ]; then
    wait "$watcher" || fail "the package was not swapped during the install"
    checked=$package.checked
  fi
  # The definition registered is the one shipped, byte for byte; the choice is in the registry.
  for file in quorvane.exe quorvane-kit.exe apply.cmd uninstall.cmd undo.cmd detect.ps1 quorvane-task.xml README.md LICENSE docs/deploying.md; do
    cmp -s "$checked/$file" "$installed/$file" || fail "install.cmd $arguments: $file not installed as checked"
  done
  if [ -n "$arguments" ]; then mv "$package" "$user" && mv "$package.checked" "$package"; fi
  want="1 1 1 "
  [ -n "$arguments" ] || want="0 0 0 "
  [ "$(recorded)" = "$want" ] || fail "install.cmd $arguments recorded: $(recorded)"
  [ ! -e "$installed.new" ] && [ ! -e "$installed.old" ] || fail "install.cmd $arguments left Quorvane.new or .old"
  for pair in "Command=\"%ProgramFiles%\\Quorvane\\quorvane-kit.exe\"" "Arguments=/deployed" "UserId=S-1-5-18" \
              "RegistrationInfo/SecurityDescriptor=D:P(A;;FA;;;SY)(A;;FA;;;BA)" \
              "RunLevel=HighestAvailable" "BootTrigger/Enabled=true" "BootTrigger/Delay=PT1M" \
              "MultipleInstancesPolicy=IgnoreNew" "DisallowStartIfOnBatteries=false" "StopIfGoingOnBatteries=false" "ExecutionTimeLimit=PT10M"; do
    [ "$(element "${pair%%=*}" | tr -d ' \r\n')" = "$(printf "%s" "${pair#*=}" | tr -d ' ')" ] ||
      fail "install.cmd $arguments: task element ${pair%%=*} is '$(element "${pair%%=*}")', expected '${pair#*=}'"
  done
  # Wine keeps the settings of a registered task (not its trigger, principal or command).
  grep -q '<DisallowStartIfOnBatteries>false<' "$task_file" || fail "the task was not registered with its settings"
  switch=$(echo "$arguments" | grep -o -- -enable || echo none)
  case "$(logged)" in "switch $switch; status 0; key $parameters1"*) ;; *) fail "install.cmd $arguments: logged $(logged)" ;; esac
done
[ "$(value "$parameters1")" = 0x0 ] || fail "install.cmd did not apply its setting"
source_values=$("$run" "$prefix" reg query "$source" | tr -d '\r' | sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p' | sort | tr '\n' '|')
[ "$source_values" = "EventMessageFile REG_EXPAND_SZ C:\\Program Files\\Quorvane\\quorvane-kit.exe|TypesSupported REG_DWORD 0x7|" ] ||
  fail "the event source holds: $source_values"

# The task's action, as Task Scheduler starts it: the program and its
# arguments from the installed definition, no cmd. It and /status without a
# switch follow the choice recorded: off, here.
action=$(element Command | sed 's/%ProgramFiles%/C:\\Program Files/; s/"//g')
task() {
  # shellcheck disable=SC2046
  QUORVANE_TEST_DEVICES=$id1=started "$run" "$prefix" "$action" $(element Arguments) </dev/null >/dev/null 2>&1
}
"$run" "$prefix" reg add "$parameters1" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
task || fail "the task's action ended with $?"
[ "$(value "$parameters1")" = 0x0 ] && [ "$(logged)" = "switch none; status 0; key $parameters1; device working; pending: $id1 holds SelectiveSuspendOn 0; $next" ] ||
  fail "the task's action left $(value "$parameters1") and logged: $(logged)"
QUORVANE_TEST_DEVICES=$id1=started kit 1 "$installed_kit" /status
case "$out" in "compared with SelectiveSuspendOn 0: the deployed choice (install.cmd)"*) ;; *) fail "/status as deployed said: $out" ;; esac

# An update that changes the choice changes the record, and nothing else.
before=$(cd "$installed" && find . -type f | LC_ALL=C sort | xargs sha256sum; sha256sum <"$task_file")
QUORVANE_TEST_DEVICES=$id1=started kit 0 "$kit\\install.cmd" -enable
[ "$(cd "$installed" && find . -type f | LC_ALL=C sort | xargs sha256sum; sha256sum <"$task_file")" = "$before" ] ||
  fail "an update of the choice changed the installed files or the task"
[ "$(recorded)" = "1 0 0 " ] || fail "install.cmd -enable recorded: $(recorded)"
task && [ "$(value "$parameters1")" = 0x1 ] || fail "the task's action did not follow the new choice"

# Remediations, as Intune runs them: detection, then remediation where it
# said not in effect. Each case twice: the second cycle does nothing the
# first showed cannot help: a panel waiting for its next start, then one
# not connected.
# devices|detected|remediated|restarts|first line of the remediation
while IFS='|' read -r tree detected remediated restarts said; do
  rm -f "$drive/quorvane-test/devices.txt"
  for cycle in 1 2; do
    QUORVANE_TEST_DEVICES=$tree kit "$detected" "$installed_kit" /status
    [ "$detected" = 0 ] && break
    QUORVANE_TEST_DEVICES=$tree kit "$remediated" "$installed_kit" /remediate
    [ "$cycle" = 2 ] || case "$(printf '%s\n' "$out" | grep -vE '^[0-9a-f]+:(fixme|warn|err|trace):|^exit status')" in
      "$said"*) ;; *) fail "/remediate with $tree said: $out" ;; esac
    detected=$( [ "$remediated" = 0 ] && echo 0 || echo "$detected")
  done
  asked=$(grep -c DIF_PROPERTYCHANGE "$drive/quorvane-test/devices.txt" 2>/dev/null || true)
  [ "${asked:-0}" = "$restarts" ] || fail "remediations with $tree asked for $asked restarts, expected $restarts"
done <<EOF
$id1=started|1|0|1|remediated: switch -enable; status 0; key $parameters1; device working; restart done; in effect
$id2=started|1|1|0|needs a person: not in effect - WARNING: $id1 holds SelectiveSuspendOn 1 $gone
EOF

# An update cut short, here by a task definition that does not register,
# leaves the kit and the choice installed before, whole, and its task.
cp "$package/quorvane-task.xml" "$drive/quorvane-test/task.xml"
printf 'not a task' >"$package/quorvane-task.xml"
kit 1603 "$kit\\install.cmd"
cp "$drive/quorvane-test/task.xml" "$package/quorvane-task.xml"
case "$out" in *"quorvane-kit.exe: could not register the task Quorvane"*) ;; *) fail "a failed update printed: $out" ;; esac
for file in quorvane.exe quorvane-kit.exe apply.cmd quorvane-task.xml docs/deploying.md; do
  cmp -s "$package/$file" "$installed/$file" || fail "a failed update left $file changed or missing"
done
[ "$(recorded)" = "1 0 0 " ] && [ -e "$task_file" ] && [ ! -e "$installed.new" ] && [ ! -e "$installed.old" ] ||
  fail "a failed update did not leave the kit installed before: recorded $(recorded)"

# What users could do to the install, the run or the log, had they the
# rights the check refuses: a link where the install clears what an update
# cut short left, and a file held open. Nothing they point at changes, and
# the messages say what happened.
mkdir -p "$drive/quorvane-test/target"
echo keep >"$drive/quorvane-test/target/file"
for leftover in new old; do
  ln -s "$drive/quorvane-test/target" "$installed.$leftover"
  kit 1603 "$kit\\install.cmd" -enable
  case "$out" in *"\"C:\\Program Files\\Quorvane.$leftover\" is a link"*) ;; *) fail "a linked Quorvane.$leftover: $out" ;; esac
  rm "$installed.$leftover"
  [ "$(cat "$drive/quorvane-test/target/file")" = keep ] || fail "the install removed what Quorvane.$leftover led to"
done
# hold PATH: holds PATH open without sharing until released.
hold() {
  "$run" "$prefix" "$standin" hold "$1" 'C:\quorvane-test\held' &
  holder=$!
  for _ in $(seq 200); do [ -e "$drive/quorvane-test/held" ] && break; sleep 0.1; done
}
release() {
  rm -f "$drive/quorvane-test/held"
  wait "$holder" || fail "the program holding a file failed"
}
hold 'C:\Program Files\Quorvane\README.md'
kit 1603 "$kit\\install.cmd" -enable
release
case "$out" in *"\"C:\\Program Files\\Quorvane\\README.md\" is held open by another program (a sharing violation)"*) ;;
  *) fail "an install beside a held file printed: $out" ;; esac
case "$out" in *"Unpack it"*) fail "a held file was taken for a folder users can change: $out" ;; esac
hold "$kit"
kit 1603 "$kit\\apply.cmd" -enable
release
case "$out" in *"\"$kit\" is held open by another program (a sharing violation)"*) ;;
  *) fail "a run beside a held package printed: $out" ;; esac
case "$out" in *"Unpack it"*) fail "a held package was taken for a folder users can change: $out" ;; esac
# The log of more than one name is not written to; the run says so, and its event is written.
mv "$log" "$log.kept"
printf 'another file\n' >"$drive/quorvane-test/elsewhere"
ln "$drive/quorvane-test/elsewhere" "$log"
QUORVANE_TEST_DEVICES=$id1=started kit 0 "$kit\\apply.cmd" -enable
[ "$(cat "$drive/quorvane-test/elsewhere")" = "another file" ] || fail "the run wrote through a second name of the log"
case "$out" in *"not logged - WARNING: C:\\windows\\Logs\\Quorvane\\quorvane.log has 2 names (hard links)"*) ;;
  *) fail "a log of two names: $out" ;; esac
case "$events" in "2 64"*) ;; *) fail "a log of two names: events $events" ;; esac
rm "$log" && mv "$log.kept" "$log"

# Asking for their usage removes nothing.
kit 87 "$kit\\uninstall.cmd" /?
kit 87 "$kit\\undo.cmd" /?
[ -e "$installed/apply.cmd" ] && [ "$(value "$parameters1")" = 0x1 ] || fail "uninstall.cmd /? or undo.cmd /? removed something"
mkdir -p "$installed.old/docs"  # as an update cut short leaves it
kit 0 "$kit\\uninstall.cmd"
[ ! -e "$installed" ] && [ ! -e "$installed.old" ] && [ ! -e "$task_file" ] ||
  fail "uninstall.cmd from the package left a folder or the task"
"$run" "$prefix" reg query "$source" >/dev/null 2>&1 && fail "uninstall.cmd left the event source"
[ "$(value "$parameters1")" = 0x1 ] && [ -s "$log" ] || fail "uninstall.cmd removed the value or the log"
"$run" "$prefix" reg query 'HKLM\SOFTWARE\Quorvane' >/dev/null 2>&1 && fail "uninstall.cmd left the kit's record"
kit 0 "$kit\\uninstall.cmd"

# From the installed folder itself, the script leaves the folder to its last
# line. Wine, unlike Windows, holds the script open until it ends, so the
# emptied folder stays, and the status must say so.
kit 0 "$kit\\install.cmd"
# Through the folder's short (8.3) name, as through its long one.
printf '@for %%%%a in ("C:\\Program Files\\Quorvane\\uninstall.cmd") do @echo %%%%~sa\r\n' >"$drive/quorvane-test/short.cmd"
short=$("$run" "$prefix" 'C:\windows\system32\cmd.exe' /c 'C:\quorvane-test\short.cmd' | tr -d '\r')
case "$short" in *'~'*) ;; *) fail "no short name for the installed uninstall.cmd: $short" ;; esac
out=$(cd "$planted" && "$run" "$prefix" 'C:\windows\system32\cmd.exe' /c 'C:\quorvane-test\status.cmd' "$short" 2>&1 | tr -d '\r')
[ ! -e "$task_file" ] || fail "uninstall.cmd from its folder left the task"
[ -z "$(find "$installed" -type f 2>/dev/null)" ] || fail "uninstall.cmd from its folder left files"
want="exit status 0"
[ -e "$installed" ] && want="exit status 1603"
[ "$(printf '%s\n' "$out" | tail -n 1)" = "$want" ] || fail "uninstall.cmd from its folder printed '$out', expected '$want'"

"$run" "$prefix" reg add "$parameters1" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 0 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id2\\Device Parameters" /v Other /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$key2\\$hostile\\Device Parameters" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
"$run" "$prefix" reg add "$root\\$id1" /v SelectiveSuspendOn /t REG_DWORD /d 1 /f >/dev/null
kit 0 "$kit\\undo.cmd"
for key in "$root\\$id1\\Device Parameters" "$root\\$id2\\Device Parameters" "$key2\\$hostile\\Device Parameters"; do
  [ "$(value "$key")" = "" ] || fail "undo.cmd left the value of $key"
done
case "$out" in *"deleted: $root\\USB\\VID_0EEF&PID_C069\\$hostile\\Device Parameters"*) ;;
  *) fail "undo.cmd did not name a key it deleted the value from: $out" ;; esac
# Only the value it writes, where it writes it.
"$run" "$prefix" reg query "$root\\$id2\\Device Parameters" /v Other >/dev/null && [ "$(value "$root\\$id1")" = 0x1 ] ||
  fail "undo.cmd deleted another value"

[ ! -e "$drive/quorvane-test/planted.txt" ] || fail "programs or DLLs planted beside the kit ran: $(cat "$drive/quorvane-test/planted.txt")"
[ ! -e "$planted/pwned.txt" ] || fail "an instance name ran as a command"

echo "1 passed, 0 failed"
