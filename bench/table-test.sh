#!/bin/sh
# The table scripts/bench prints, made from a folder of canned benchmark outputs
# (bench/testdata/run: the human text, the BENCH lines, a failed run, the log lines of
# the error stream) and compared with the table it must give.
# Usage: bench/table-test.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/../scripts/bench" --table "$here/testdata/run" | diff -u "$here/testdata/table.expected" -
