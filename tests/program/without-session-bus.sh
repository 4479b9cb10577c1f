#!/bin/sh
# The program on a display of its own without a D-Bus session, so without an
# accessibility bus: showing the panel asks whether Notion can be read, which must not
# end the process. The log says once why accessibility is unavailable, and SIGTERM
# still ends the program cleanly.
#
# "Without a session bus" is said outright: DBUS_SESSION_BUS_ADDRESS=disabled:. With the
# variable merely unset, libdbus and GLib start a bus of their own on the X display when
# dbus-launch is installed (dbus-x11, part of Debian's desktops), and GTK's accessibility
# bridge then starts an accessibility bus on it and names it on the root window
# (AT_SPI_BUS). The program takes such a bus as it finds it, as Notion on the same
# display does: accessibility works through it. It starts none itself: its instance
# name and tray item stay off a bus that only an autolaunch made.
set -eu
program=$1

# A display of its own: the caller's may carry an accessibility bus address (the
# AT_SPI_BUS root window property) from an earlier session.
if [ -z "${PAGEMATE_TEST_OWN_DISPLAY:-}" ]; then
    exec env PAGEMATE_TEST_OWN_DISPLAY=1 xvfb-run -a "$0" "$@"
fi
# CI runs the tests under dbus-run-session; this run must have no bus at all.
unset AT_SPI_BUS_ADDRESS || true
export DBUS_SESSION_BUS_ADDRESS=disabled:
# xprop says "AT_SPI_BUS(STRING) = ..." when the root window names one.
accessibility_bus() { xprop -root AT_SPI_BUS | grep " = " || true; }
if [ -n "$(accessibility_bus)" ]; then
    echo "FAIL: the new display already names an accessibility bus: $(accessibility_bus)" >&2
    exit 1
fi

scratch=$(mktemp -d)
pid=""
cleanup() {
    [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" HOME="$scratch" GSETTINGS_BACKEND=memory
# Nothing listens on the discard port: the panel shows its failure page at once.
export PGM_SERVER_URL=http://127.0.0.1:9

fail() {
    echo "FAIL: $*" >&2
    cat "$log" >&2 2>/dev/null || true
    exit 1
}

# Every line of the log is on the program's error stream too, which no other run of
# the program on the machine shares.
log="$scratch/stderr"
"$program" --show-panel >"$scratch/stdout" 2>"$log" &
pid=$!

# The panel shows a second after start and loads its page (or the failure page).
tries=0
until grep -q "显示面板" "$log" 2>/dev/null &&
      grep -q "页面加载\(失败\|完成\)：" "$log"; do
    kill -0 "$pid" 2>/dev/null || { pid=""; fail "the program ended"; }
    tries=$((tries + 1))
    [ "$tries" -le 300 ] || fail "the panel did not show within 30 s"
    sleep 0.1
done
sleep 2
kill -0 "$pid" 2>/dev/null || { pid=""; fail "the program ended after showing the panel"; }

reasons=$(grep -c "辅助功能：不可用（没有 D-Bus 会话总线" "$log" || true)
[ "$reasons" -eq 1 ] || fail "the accessibility reason is in the log $reasons times, not once"
# Nothing the program did put an accessibility bus on the display.
[ -z "$(accessibility_bus)" ] || fail "an accessibility bus appeared on the display: $(accessibility_bus)"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "the program did not end cleanly on SIGTERM (status $status)"
grep -q "收到结束信号，退出" "$log" || fail "no line for the end signal"
echo "program without a session bus: OK"
cat "$log"
