#!/usr/bin/env bash
# End-to-end test of a packed tray program on a virtual X server.
#
#   tray_e2e.sh xembed BINDIR   with a real XEmbed tray (trayer): the icon is
#                               found on the screen and clicked, double
#                               clicked, right clicked and hovered with
#                               xdotool; screenshots show the icon and its
#                               change; the tray is restarted and the icon
#                               comes back; SIGTERM runs the quit sequence.
#   tray_e2e.sh sni BINDIR      on a private session bus whose
#                               StatusNotifierWatcher and host are the test's
#                               own (sni_host.py).
#   tray_e2e.sh box BINDIR      a message box opened by a timer sub (no tray
#                               needed): timers go on while it is open, and
#                               Return presses its default button.
#   tray_e2e.sh download BINDIR downloads with the library's Download from a
#                               loopback HTTP server of the test's own (no
#                               tray needed): bodies and failures reach the
#                               script's handlers, timers go on meanwhile.
#
# The program writes what its subs see to the debugger output file. Every
# wait polls with a time-out; the X server, the tray and the program are
# ended on every way out. Exit status 77 (skipped) when Xvfb is missing.
set -u
mode=${1:?mode: xembed, sni, box or download}
bin=${2:?the bin directory of the build}
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v Xvfb >/dev/null 2>&1; then
    echo "SKIP: Xvfb is not installed (bash scripts/setup installs it)"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tray-e2e.XXXXXX")
log=$work/debug.log
xvfb_pid="" tray_pid="" app_pid="" server_pid=""

# The child PID has ended (it may wait to be reaped).
ended() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null)
    [ -z "$state" ] || [[ $state == Z* ]]
}
stop() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do ended "$pid" && break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
cleanup() {
    stop "$app_pid"
    stop "$server_pid"
    stop "$tray_pid"
    stop "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "FAIL: $*"
    [ -f "$log" ] && sed 's/^/  debug output: /' "$log"
    [ -f "$work/app.err" ] && sed 's/^/  stderr: /' "$work/app.err"
    [ -f "$work/trayer.err" ] && sed 's/^/  trayer: /' "$work/trayer.err"
    [ -f "$work/xvfb.err" ] && sed 's/^/  Xvfb: /' "$work/xvfb.err"
    exit 1
}

# wait_for WHAT SECONDS COMMAND...: until COMMAND succeeds.
wait_for() {
    local what=$1 secs=$2
    shift 2
    local end=$((SECONDS + secs))
    until "$@"; do
        [ "$SECONDS" -ge "$end" ] && fail "timed out after ${secs}s waiting for $what"
        sleep 0.1
    done
}

# Ends the program with SIGTERM: it must end by its quit sequence, with the
# status 128 + 15.
end_with_sigterm() {
    kill -TERM "$app_pid"
    wait_for "the program to end after SIGTERM" 20 ended "$app_pid"
    wait "$app_pid"
    status=$?
    app_pid=""
    [ "$status" -eq 143 ] || fail "status after SIGTERM: $status, expected 143"
}

# How often the program's subs saw EVENT.
seen_count() { grep -c -x "seen: $1" "$log" 2>/dev/null; }
seen() { [ "$(seen_count "$1")" -ge "${2:-1}" ]; }

# ---- the X server, the program ----------------------------------------------------------
# A display number of its own: the X server holds /tmp/.XN-lock, which
# names its process, and refuses a number that another server holds. (Its
# option -displayfd is not safe from servers that start at the same time.)
xvfb_owns() { [ "$(tr -d ' \n' <"/tmp/.X$1-lock" 2>/dev/null)" = "$xvfb_pid" ]; }
xvfb_ready() { ended "$xvfb_pid" || { xvfb_owns "$1" && DISPLAY=:$1 xwininfo -root >/dev/null 2>&1; }; }
for attempt in $(seq 10); do
    n=$((200 + RANDOM % 800))
    [ -e "/tmp/.X$n-lock" ] && continue
    # -noreset: the server must not reset (and refuse connections meanwhile)
    # when the check below, its last client, disconnects.
    Xvfb ":$n" -screen 0 640x480x24 -nolisten tcp -noreset 2>>"$work/xvfb.err" &
    xvfb_pid=$!
    wait_for "the X server" 30 xvfb_ready "$n"
    ended "$xvfb_pid" || break
    xvfb_pid=""
done
[ -n "$xvfb_pid" ] || fail "no X server could be started"
export DISPLAY=:$n

mkdir -m 700 "$work/tmp" "$work/xdg"
: >"$log"
convert -size 32x32 xc:'#ff0000' "$work/red.png" && convert -size 32x32 xc:'#00ff00' "$work/green.png" ||
    fail "ImageMagick (convert) could not write the test icons"
"$bin/kovpack" -q --tray --icon "$work/red.png" --icon green="$work/green.png" "$here/tray_probe.pl" \
    -o "$work/probe" || fail "kovpack --tray failed"

export TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/xdg KOVRUN_DEBUG_LOG=$log

# No per-process directory of the program is left in its temporary path.
no_process_dir() { ! compgen -G "$work/tmp/qrx-*-[0-9]*-*" >/dev/null; }

if [ "$mode" = sni ]; then
    # Qt says on the program's standard error which tray it chose.
    QT_LOGGING_RULES="qt.qpa.tray*=true" dbus-run-session -- /usr/bin/python3 "$here/sni_host.py" "$work/probe" "$log" 2>"$work/bus.err"
    status=$?
    if [ "$status" -ne 0 ]; then
        sed 's/^/  bus: /' "$work/bus.err"
        sed 's/^/  stderr: /' "$log.err"
        fail "the StatusNotifierItem host reported a failure"
    fi
    no_process_dir || fail "a per-process directory was left behind: $(ls "$work/tmp")"
    echo "PASS: StatusNotifierItem path"
    exit 0
fi
if [ "$mode" = box ]; then
    # A message box opened by a timer sub: it appears with its caption, timers
    # still reach the script while it is open, and Return presses its default
    # button (No), whose code the script gets.
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
    "$bin/kovpack" -q --tray "$here/box_probe.pl" -o "$work/box" || fail "kovpack --tray failed"
    "$work/box" >"$work/app.out" 2>"$work/app.err" &
    app_pid=$!
    wait_for "the box to be opened" 30 seen "box open"
    grep -q -x "Nimbrel::Execute: can't open $TMPDIR/missing: no such file or directory" "$log" ||
        fail "Execute of a missing file was not reported"
    box_window() { box=$(xdotool search --onlyvisible --name '^Probe box$' 2>/dev/null | head -n 1) && [ -n "$box" ]; }
    wait_for "the box on the screen" 20 box_window
    ticks=$(seen_count "Timer 2")
    wait_for "a timer while the box is open" 10 seen "Timer 2" $((ticks + 1))
    seen "box 7" && fail "the box returned before a button was pressed"
    xdotool windowfocus --sync "$box" key Return
    wait_for "the box's answer" 10 seen "box 7"
    end_with_sigterm
    [ "$(seen_count END)" -eq 1 ] || fail "the END block did not run once"
    echo "PASS: message box"
    exit 0
fi
if [ "$mode" = download ]; then
    # The loopback server: it says its ports on its first line and serves
    # until its input closes (or SIGTERM), removing what it made.
    mkfifo "$work/server.in"
    python3 "$here/../support/http_server.py" <"$work/server.in" >"$work/server.out" 2>"$work/server.err" &
    server_pid=$!
    exec 9>"$work/server.in"
    wait_for "the loopback server" 30 test -s "$work/server.out"
    read -r http_port closed_port < <(sed -n 's/^http=\([0-9]*\) https=[0-9]* closed=\([0-9]*\)$/\1 \2/p' "$work/server.out")
    [ -n "${closed_port:-}" ] || fail "the loopback server did not start: $(cat "$work/server.out" "$work/server.err")"
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
    unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY
    base=http://127.0.0.1:$http_port closed=http://127.0.0.1:$closed_port
    "$bin/kovpack" -q --tray "$here/download_probe.pl" -o "$work/fetch" || fail "kovpack --tray failed"
    PROBE_BASE=$base PROBE_CLOSED=$closed "$work/fetch" >"$work/app.out" 2>"$work/app.err" &
    app_pid=$!
    wait_for "the body" 30 seen "body 300000 whole from $base/bytes/300000"
    refused="InternetOpenUrl($closed/x) failed: 7 (Couldn't connect to server)"
    wait_for "the failure" 30 seen "error: $refused"
    wait_for "the slow body" 30 seen "late: late, the timer ticked meanwhile"
    grep -q -x "$refused" "$log" || fail "the failure is not on the debugger output"
    grep -q WRONG "$log" && fail "a handler got what it should not"
    end_with_sigterm
    [ "$(seen_count END)" -eq 1 ] || fail "the END block did not run once"
    no_process_dir || fail "a per-process directory was left behind: $(ls "$work/tmp")"
    exec 9>&-
    echo "PASS: downloads"
    exit 0
fi
[ "$mode" = xembed ] || fail "unknown mode $mode"

# A session bus that cannot be reached: Qt then uses the XEmbed tray.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus

start_tray() {
    trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 32 \
        >>"$work/trayer.err" 2>&1 &
    tray_pid=$!
}
tray_shown() { xwininfo -root -tree 2>/dev/null | grep -q '("panel" "trayer")'; }

# The icon's window inside the tray: "W H X Y" (absolute position).
icon_geometry() {
    xwininfo -root -tree 2>/dev/null |
        sed -n 's/.*("probe" "probe") *\([0-9]*\)x\([0-9]*\)+[-0-9]*+[-0-9]* *+\([-0-9]*\)+\([-0-9]*\).*/\1 \2 \3 \4/p' |
        head -n 1
}
icon_in_tray() {
    local g
    g=$(icon_geometry)
    [ -n "$g" ] || return 1
    read -r w h x y <<<"$g"
    cx=$((x + w / 2)) cy=$((y + h / 2))
}
# The colour of the screen at the icon's centre, "#RRGGBB", from a screenshot.
pixel() {
    import -window root "$work/shot.png" 2>/dev/null &&
        convert "$work/shot.png" -crop "1x1+$cx+$cy" -depth 8 txt:- 2>/dev/null | grep -o '#[0-9A-F]\{6\}' | head -n 1
}
pixel_is() { [ "$(pixel)" = "$1" ]; }

start_tray
wait_for "the tray" 20 tray_shown
PROBE_MENU=1 "$work/probe" one -style fusion --icon x two >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
wait_for "the main program" 30 seen "main one -style fusion --icon x two"
wait_for "the icon in the tray" 20 icon_in_tray
wait_for "the default icon (red) on the screen" 10 pixel_is "#FF0000"

# Hover: the pointer enters the icon and moves over it.
xdotool mousemove 5 400
xdotool mousemove "$cx" "$cy" sleep 0.2 mousemove $((cx + 1)) "$cy"
wait_for "ToolTip on hovering" 10 seen ToolTip

# One click: "Click" after the double-click time, which sets the green icon.
xdotool click 1
wait_for "Click" 10 seen Click
wait_for "the green icon on the screen after _SetIcon" 10 pixel_is "#00FF00"

# A double click: "Nimbrel::DoubleClick" and no further "Click" (which
# would come one double-click time after the first press). On a loaded
# machine the second press may reach the X server too late to make a double
# click: those two single clicks are seen as such, and the double click is
# tried again.
double_click_or_clicks() { seen DoubleClick || [ "$(seen_count Click)" -gt "$clicks" ]; }
for attempt in 1 2 3; do
    clicks=$(seen_count Click)
    xdotool click --repeat 2 --delay 60 1
    wait_for "DoubleClick" 10 double_click_or_clicks
    seen DoubleClick && break
    sleep 1
done
seen DoubleClick || fail "three double clicks were all taken for single clicks"
sleep 1
[ "$(seen_count Click)" -eq "$clicks" ] || fail "a double click also called Click"

# A right click: the popup menu's sub, then its menu at the pointer, on the
# screen with its items; the keyboard chooses the second item, which reaches
# "Nimbrel::Command".
# The menu's window: a top-level window of the program on the screen that is
# not a tool tip (Qt gives those the window type TOOLTIP); "W H X Y" in menu.
menu_shown() {
    local id type
    for id in $(xdotool search --maxdepth 1 --onlyvisible --class '^probe$' 2>/dev/null); do
        type=$(xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null) || continue
        [[ $type == *_NET_WM_WINDOW_TYPE_TOOLTIP* ]] && continue
        menu=$(xwininfo -id "$id" 2>/dev/null | awk '/Absolute upper-left X:/ { x = $NF }
            /Absolute upper-left Y:/ { y = $NF } /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { if (w) print w, h, x, y }')
        [ -n "$menu" ] && return 0
    done
    return 1
}
xdotool click 3
wait_for "PopupMenu" 10 seen PopupMenu
wait_for "the menu on the screen" 20 menu_shown
# Drawn, and the keyboard grabbed.
sleep 1
# Its window in a screenshot is no blank rectangle: it has the items' text
# (a spread of colours).
read -r mw mh mx my <<<"$menu"
shot=$work/menu.png
import -window root "$shot" 2>/dev/null || fail "import could not take a screenshot of the menu"
read -r spread colours < <(convert "$shot" -crop "${mw}x${mh}+$mx+$my" +repage \
    -format '%[fx:standard_deviation] %k\n' info: 2>/dev/null)
if [ "$mw" -lt 30 ] || [ "$mh" -lt 20 ] || [ "${colours:-0}" -lt 3 ] ||
    ! awk -v s="${spread:-0}" 'BEGIN { exit !(s > 0.01) }'; then
    # Kept for a look: the work directory goes.
    kept=$(mktemp --suffix=.png "$(dirname "$work")/tray-e2e-menu.XXXXXX") && cp "$shot" "$kept"
    fail "the menu window ${mw}x${mh}+$mx+$my shows no items (colour spread ${spread:-none}, ${colours:-no} colours); screenshot: ${kept:-$shot}"
fi
xdotool key Down Down Return
wait_for "Command 2 from the menu" 10 seen "Command 2"

# The tray goes away and comes back: the icon is embedded again, with the
# icon that the script set last.
stop "$tray_pid"
tray_pid=""
wait_for "the icon to leave with the tray" 10 bash -c "! xwininfo -root -tree 2>/dev/null | grep -q '(\"probe\" \"probe\")'"
start_tray
wait_for "the tray to come back" 20 tray_shown
wait_for "the icon back in the tray" 20 icon_in_tray
wait_for "the green icon on the screen after the tray's return" 10 pixel_is "#00FF00"

# SIGTERM while the menu is open: the quit sequence runs (END blocks), the
# status is 128 + 15 and no per-process directory stays.
menus=$(seen_count PopupMenu)
xdotool mousemove "$cx" "$cy" click 3
wait_for "PopupMenu again" 10 seen PopupMenu $((menus + 1))
sleep 1
end_with_sigterm
seen END || fail "SIGTERM did not run the END block"
[ "$(seen_count END)" -eq 1 ] || fail "the END block ran more than once"
no_process_dir || fail "a per-process directory was left behind: $(ls "$work/tmp")"
echo "PASS: XEmbed path"
