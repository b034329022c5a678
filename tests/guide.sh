#!/bin/sh
# guide.sh SOURCE_DIR BUILD_DIR: the deployment guide names the exit
# statuses, event IDs, verdicts and package files the kit has, and no others.
# The kit's are read from the sources and the release package; the guide's
# from its troubleshooting table (statuses), "event N", backticked verdicts
# and the package table.
set -eu
source=$1 build=$2
guide="$source/docs/deploying.md"
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
# same WHAT KIT GUIDE: both lists, one item a line, hold the same items.
same() {
  kit=$(printf '%s\n' "$2" | sort -u) said=$(printf '%s\n' "$3" | sort -u)
  [ "$kit" = "$said" ] || fail "$1: the kit has
$kit
the guide names
$said"
}

# A status constant is a number, or a Windows code with its number after //.
statuses=$(cat "$source"/src/*/*.h "$source"/src/*/*.cpp |
  sed -nE 's/^ *constexpr [A-Za-z]+ k(Status[A-Za-z]*|StartupFailed|Failed) = ([0-9]+);.*/\2/p;
           s/^ *constexpr [A-Za-z]+ k(Status[A-Za-z]*|StartupFailed|Failed) = [A-Z_]+; *\/\/ *([0-9]+).*/\2/p')
same "exit statuses" "$statuses" "$(sed -nE 's/^\| `([0-9]+)` \|.*/\1/p' "$guide")"

same "event IDs" "$(sed -n 's/^MessageId=//p' "$source/res/events.mc")" \
  "$(grep -oE 'event [0-9]+' "$guide" | sed 's/event //')"

same "verdicts" "$(grep -oE 'L"(in effect|pending|not in effect - WARNING): ' "$source/src/kit/verdict.cpp" | sed 's/^L"//; s/ $//')" \
  "$(grep -oE '`(in effect|pending|not in effect - WARNING):' "$guide" | tr -d '`')"

files=$(unzip -Z1 "$build"/quorvane-*-win-x64.zip | sed 's|^[^/]*/||' | grep -v '/$')
table=$(sed -n '/^### The package$/,/^### /p' "$guide" | grep '^| `' | cut -d'|' -f2 | grep -oE '`[^`]+`' | tr -d '`')
same "package files" "$files" "$table"
echo "1 passed, 0 failed"
