#!/bin/sh
# Runs the deployment guide's commands under Wine, in the tests' prefix, and
# checks what each reports.  deploying.sh PREFIX QUORVANE_EXE DOCS_DIR
set -eu
prefix=$1 exe=$2 docs=$3
run="$(cd "$(dirname "$0")/.." && pwd)/scripts/wine-run"
dir='C:\Program Files\Quorvane'
unix_dir="$prefix/drive_c/Program Files/Quorvane"
key='HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_04F3&PID_0026&MI_01'
parameters="$key\\6&1a2b3c4d&0&0001\\Device Parameters"

# expect STATUS [TEXT] -- COMMAND...: runs COMMAND under Wine, checks its exit
# status and, when given, that its output holds TEXT.
expect() {
  want=$1 text=$2
  shift 3
  status=0
  out=$("$run" "$prefix" "$@" 2>&1) || status=$?
  printf '> %s\n%s\n(exit status %s)\n' "$*" "$out" "$status"
  [ "$status" -eq "$want" ] || { echo "FAIL: expected exit status $want" >&2; exit 1; }
  case "$out" in *"$text"*) ;; *) echo "FAIL: expected output holding '$text'" >&2; exit 1 ;; esac
}

clean() {
  "$run" "$prefix" reg delete "$key" /f >/dev/null 2>&1 || true
  rm -rf "$unix_dir"
}
trap clean EXIT
clean
mkdir -p "$unix_dir"
cp "$exe" "$docs"/deploy/* "$unix_dir/"
"$run" "$prefix" reg add "$parameters" /f >/dev/null

expect 0 "" -- "$dir\\quorvane.exe" -enable
expect 0 "REG_DWORD    0x1" -- reg query "$key" /s /v SelectiveSuspendOn
expect 0 "Detected" -- cmd /c "$dir\\quorvane-detect.cmd"
expect 0 "" -- "$dir\\quorvane.exe"
expect 0 "REG_DWORD    0x0" -- reg query "$parameters" /v SelectiveSuspendOn
expect 1 "" -- cmd /c "$dir\\quorvane-detect.cmd"
expect 0 "" -- cmd /c "$dir\\quorvane-startup.cmd"
expect 0 "Detected" -- cmd /c "$dir\\quorvane-detect.cmd"
expect 0 "" -- reg delete "$parameters" /v SelectiveSuspendOn /f
expect 1 "Unable to find" -- reg query "$parameters" /v SelectiveSuspendOn
expect 0 "" -- cmd /c "$dir\\quorvane-startup.cmd"
expect 0 "completed successfully" -- cmd /c "$dir\\quorvane-undo.cmd"
expect 1 "Unable to find" -- reg query "$parameters" /v SelectiveSuspendOn
expect 1 "" -- cmd /c "$dir\\quorvane-detect.cmd"
expect 0 "" -- reg delete "$key" /f
expect 1 "" -- "$dir\\quorvane.exe" -enable
expect 0 "" -- schtasks /create /tn Quorvane /xml "$dir\\quorvane-task.xml" /f
expect 0 "" -- schtasks /delete /tn Quorvane /f
echo "1 passed, 0 failed"
