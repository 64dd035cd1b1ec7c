#!/usr/bin/env bash
# Starts the real program on a virtual X display, waits for its main window, checks that the
# window opened in its narrow start layout and saves a screenshot of it. With a file, the program
# is started as a file manager's "Open With" starts it; the script then shows the information
# panel with a click on its arrow and checks that the file's lines fill it.
#   window_smoke.sh BUILD_DIR [SCREENSHOT.png [FILE.mp3]]
set -u
build=${1:?build folder}
shot=${2:-$build/smoke/window.png}
file=${3:-}
program=$build/snipwave
[ -x "$program" ] || { echo "FAIL: $program not built"; exit 1; }
mkdir -p "$(dirname "$shot")"

if [ -z "${SMOKE_INSIDE_X:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "FAIL: xvfb-run missing"; exit 1; }
    SMOKE_INSIDE_X=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$shot" ${file:+"$file"}
fi

export QT_QPA_PLATFORM=xcb
export SDL_AUDIODRIVER=dummy
# Settings of the run's own, so the smoke test neither reads nor changes the user's.
config=$(mktemp -d)
export XDG_CONFIG_HOME=$config
log=$(mktemp)
"$program" ${file:+"$file"} >"$log" 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -rf "$log" "$config"
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

if [ -n "$file" ]; then
    # The program's own log tells that the file was opened and what the panel shows. The window
    # may be mapped before the file has been read, so the log is given a moment.
    for _ in $(seq 1 50); do
        grep -qF "File Name: $file" "$build/Log/log1.txt" 2>/dev/null && break
        grep -q "Failed to load" "$build/Log/log1.txt" 2>/dev/null && break
        sleep 0.1
    done
    grep -q "Failed to load" "$build/Log/log1.txt" 2>/dev/null && {
        echo "FAIL: the file did not open"
        cat "$build/Log/log1.txt"
        exit 1
    }
    grep -qF "File Name: $file" "$build/Log/log1.txt" || {
        echo "FAIL: no information block for $file in the log"
        exit 1
    }
    command -v xdotool >/dev/null || { echo "FAIL: xdotool missing"; exit 1; }
    # The "show file information" arrow sits at 393,12 (16 x 16) of the client area, below the
    # menu bar: the window's height less the 389-pixel client area.
    height=$(xwininfo -id "$id" | awk '/^ *Height:/ {print $2}')
    xdotool mousemove --window "$id" 401 $((height - 389 + 20)) click 1
    for _ in $(seq 1 25); do
        width=$(xwininfo -id "$id" | awk '/^ *Width:/ {print $2}')
        [ "$width" = 700 ] && break
        sleep 0.2
    done
    if [ "$width" != 700 ]; then
        echo "FAIL: the information panel did not open (window $width pixels wide)"
        exit 1
    fi
fi

sleep 0.5 # let the first paint land
import -window "$id" "$shot" 2>/dev/null || import -window root "$shot" || {
    echo "FAIL: no screenshot"
    exit 1
}
echo "window $id found, screenshot in $shot"

# A session logging out sends SIGTERM: the window closes as its close button does and the
# program ends normally instead of being killed.
kill -TERM "$pid"
for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: SIGTERM did not close the window"
    exit 1
fi
wait "$pid"
status=$?
if [ "$status" != 0 ]; then
    echo "FAIL: exit status $status after SIGTERM"
    cat "$log"
    exit 1
fi
echo "closed on SIGTERM"
