#!/bin/sh
# The program as a user starts it: --version, --help, and a normal start that writes
# the log header, the arguments line and the end of start-up, then quits on SIGTERM.
set -eu
program=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME="$scratch/config" HOME="$scratch" GSETTINGS_BACKEND=memory
unset PGM_SERVER_URL || true

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$("$program" --version)
case "$version" in "pagemate "[0-9]*) ;; *) fail "--version printed: $version" ;; esac
"$program" --help | grep -q -- "--version" || fail "--help does not list --version"

log=/tmp/pagemate-app.log
rm -f "$log"  # the lines looked for below must come from this run
"$program" --platform-extra >"$scratch/stdout" 2>"$scratch/stderr" &
pid=$!
tries=0
# Start-up has run when the menu is ready.
until grep -q "菜单栏就绪" "$log" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 150 ] || { kill "$pid"; cat "$log" >&2; fail "start-up did not finish in 15 s"; }
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid" || fail "the program did not end cleanly on SIGTERM"

head -n 1 "$log" | grep -q "^=== 启动 · [0-9-]* [0-9:]* +0000 ===$" || fail "header: $(head -n 1 "$log")"
sed -n 2p "$log" | grep -q "^\[[0-9:.]*\] 参数：$program --platform-extra$" || fail "arguments line: $(sed -n 2p "$log")"
# Every logged line is also on the error stream.
tail -n +2 "$log" | diff - "$scratch/stderr" >/dev/null || fail "stderr differs from the log"
echo "program start: OK"
cat "$log"
