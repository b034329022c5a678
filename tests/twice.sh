#!/bin/sh
# twice.sh SCRIPT [ARG...]: runs a test script, and once more if it fails.
# Wine ends about one process start in 3,000-5,000 with status 1, whatever the
# program does, and the kit's test alone starts some 300: each script starts
# from a clean state, so a fault fails both runs.
"$@" && exit 0
echo "The run above failed: running it once more, as Wine fails a process start now and then." >&2
exec "$@"
