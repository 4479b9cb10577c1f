#!/bin/sh
# The program's tray item, on a display and a session bus of this test's own. With the
# test watcher running, the program registers its item and the item's menu has the
# program's entries. Started with no watcher it keeps running, says in the log why
# there is no tray icon, and a watcher started later gets the item without a restart.
# Usage: tray.sh PROGRAM STATUS_WATCHER
set -eu
program=$1
watcher=$2

if [ -z "${PAGEMATE_TEST_OWN_SESSION:-}" ]; then
    exec env PAGEMATE_TEST_OWN_SESSION=1 xvfb-run -a dbus-run-session -- "$0" "$@"
fi

scratch=$(mktemp -d)
started=""
cleanup() {
    for process in $started; do kill -KILL "$process" 2>/dev/null || true; done
    rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" HOME="$scratch"
# Nothing listens on the discard port: the status line settles at once.
export PGM_SERVER_URL=http://127.0.0.1:9
# The log is read as the program echoes it on its error stream: the log file's fixed
# path is shared with every other run of the program on this machine.

fail() {
    echo "FAIL: $*" >&2
    for file in "$scratch"/watcher* "$scratch"/program*; do
        [ -f "$file" ] && { echo "--- $file" >&2; cat "$file" >&2; }
    done
    exit 1
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls until the command succeeds.
wait_for() {
    limit=$(($1 * 10))
    what=$2
    shift 2
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -le "$limit" ] || fail "$what"
        sleep 0.1
    done
}

start_watcher() {
    name=$1
    shift
    "$watcher" "$@" >"$scratch/$name" 2>&1 &
    watcher_pid=$!
    started="$started $watcher_pid"
    wait_for 10 "the watcher did not start" grep -q "^watching$" "$scratch/$name"
}

# What a tray host reads of the program's item after it registered.
check_item() {
    file="$scratch/$1"
    wait_for 20 "the program's item did not register with the watcher" \
        grep -q "^registered org.kde.StatusNotifierItem-$2-1$" "$file"
    wait_for 10 "the watcher could not read the item" grep -q "^end$" "$file"
    grep -q "^icon pagemate-symbolic " "$file" || fail "icon: $(grep '^icon' "$file")"
    grep -q "^title 页伴$" "$file" || fail "title: $(grep '^title' "$file")"
    grep -q "^item 状态：.* disabled$" "$file" || fail "no status entry in the menu"
    grep -q "^separator$" "$file" || fail "no separator in the menu"
    grep -q "^item 退出 enabled Control+q$" "$file" || fail "no quit entry in the menu"
    grep -q "^item 设置… enabled Control+comma$" "$file" || fail "no settings entry in the menu"
    entries=$(grep -c "^item \|^separator$" "$file")
    [ "$entries" -eq 21 ] || fail "the menu has $entries entries, not 21"
}

# 1. A tray is there when the program starts; the user chooses "查看日志" in its menu.
start_watcher watcher1 --click "查看日志"
log="$scratch/program1"
"$program" >"$log" 2>&1 &
pid=$!
started="$started $pid"
check_item watcher1 "$pid"
! grep -q "状态栏：看不到图标" "$log" || fail "the log says there is no tray icon"
wait_for 10 "the click was not delivered" grep -q "^clicked 查看日志$" "$scratch/watcher1"
wait_for 10 "choosing 查看日志 did not open the log" grep -q "用户打开日志" "$log"
kill -TERM "$pid"
wait "$pid" || fail "the program did not end cleanly on SIGTERM"
kill -TERM "$watcher_pid"
wait "$watcher_pid" || true

# 2. No tray at first; one starts later.
log="$scratch/program2"
"$program" >"$log" 2>&1 &
pid=$!
started="$started $pid"
wait_for 20 "no line saying why there is no tray icon" \
    grep -q "状态栏：看不到图标（桌面没有运行状态栏托盘：" "$log"
grep -q "⌥⇧Space（Alt+Shift+Space）" "$log" || fail "the log does not say how to reach the program"
wait_for 20 "start-up did not finish" grep -q "菜单栏就绪" "$log"
kill -0 "$pid" 2>/dev/null || fail "the program ended without a tray"
start_watcher watcher2
check_item watcher2 "$pid"
wait_for 10 "the log does not say the icon is shown" grep -q "状态栏：托盘已出现，图标已显示" "$log"
reasons=$(grep -c "状态栏：看不到图标" "$log" || true)
[ "$reasons" -eq 1 ] || fail "the reason is in the log $reasons times, not once"
kill -TERM "$pid"
wait "$pid" || fail "the program did not end cleanly on SIGTERM"
echo "program with a tray: OK"
grep "^\[" "$log"
