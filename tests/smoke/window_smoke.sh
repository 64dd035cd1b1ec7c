#!/usr/bin/env bash
# Starts the real program on a virtual X display, waits for its main window, checks that the
# window opened in its narrow start layout and saves a screenshot of it.
#   window_smoke.sh BUILD_DIR [SCREENSHOT.png]
set -u
build=${1:?build folder}
shot=${2:-$build/smoke/window.png}
program=$build/snipwave
[ -x "$program" ] || { echo "FAIL: $program not built"; exit 1; }
mkdir -p "$(dirname "$shot")"

if [ -z "${SMOKE_INSIDE_X:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "FAIL: xvfb-run missing"; exit 1; }
    SMOKE_INSIDE_X=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$shot"
fi

export QT_QPA_PLATFORM=xcb
log=$(mktemp)
"$program" >"$log" 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$log"
}
trap cleanup EXIT

id=
for _ in $(seq 1 100); do
    # Qt also leaves a 1x1 client-leader window with the same name; the real one has a class.
    id=$(xwininfo -root -tree 2>/dev/null | grep -F '"Quillon Snipwave": ("' | awk '{print $1; exit}')
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if [ -z "$id" ]; then
    echo "FAIL: no window titled \"Quillon Snipwave\" appeared"
    cat "$log"
    exit 1
fi

# The start layout hides the information panel: the client area is 417 pixels wide.
width=
for _ in $(seq 1 25); do
    width=$(xwininfo -id "$id" | awk '/^ *Width:/ {print $2}')
    [ "$width" = 417 ] && break
    sleep 0.2
done
if [ "$width" != 417 ]; then
    echo "FAIL: window $id is $width pixels wide, expected 417"
    exit 1
fi

sleep 0.5 # let the first paint land
import -window "$id" "$shot" 2>/dev/null || import -window root "$shot" || {
    echo "FAIL: no screenshot"
    exit 1
}
echo "window $id found, screenshot in $shot"
