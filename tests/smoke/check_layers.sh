#!/usr/bin/env bash
# The layers include only downward (docs/ARCHITECTURE.md), and the command line stays a program
# without a window: nothing below the window includes a Qt Gui header, and snipwave-cli loads
# neither Qt Gui, Qt Widgets nor Qt D-Bus (Debian's Qt Gui itself needs D-Bus).
#
#   check_layers.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
status=0

fail() {
    echo "FAIL: $*"
    status=1
}

# forbid WHAT PATTERN DIR...: no file under DIR includes a header whose path matches PATTERN.
forbid() {
    local what=$1 pattern=$2
    shift 2
    local found
    found=$(cd "$src" && grep -rnE --include='*.h' --include='*.cpp' "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($pattern)" "$@")
    if [ -n "$found" ]; then
        fail "$what"
        echo "$found"
    fi
}

forbid "the command line includes the window" 'app/' cli
forbid "the job includes the window, the controls or the command line" 'app/|controls/|cli/' job
forbid "the media layer includes a layer above it" 'app/|job/|controls/|cli/' media
forbid "the probe includes the engine or the player" 'media/encode/|media/play/' media/decode
forbid "the engine includes the player" 'media/play/' media/encode
forbid "the player includes the engine" 'media/encode/' media/play
forbid "the MP3 bitstream code includes a media part above it" 'media/(decode|encode|play)/' media/mp3
# Pictures below the window are TBitmaps and windows TScreenHandles: no Qt Gui header there.
found=$(cd "$src" && grep -rnE --include='*.h' --include='*.cpp' "^[[:space:]]*#[[:space:]]*include[[:space:]]*<(QtGui/|QImage|QWindow|QColor|QPainter|QPixmap|QGuiApplication|QScreen|QFont|QIcon)" media job cli)
if [ -n "$found" ]; then
    fail "a Qt Gui header is included below the window"
    echo "$found"
fi

# The foundation (media/ itself) is below every media part.
found=$(cd "$src" && grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"media/[^\"]+/" media/*.h media/*.cpp)
if [ -n "$found" ]; then
    fail "the media foundation includes a media part above it"
    echo "$found"
fi

# No circles among the units (a header and its source) of any folder.
edges=$(cd "$src" && for f in $(find media job cli app controls -name '*.h' -o -name '*.cpp' | sort); do
    unit=${f%.*}
    sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)\.h".*/\1/p' "$f" |
        while read -r dep; do
            [ "$dep" != "$unit" ] && [ -f "$dep.h" ] && echo "$unit $dep"
        done
done)
if ! loops=$(echo "$edges" | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
    fail "units include each other in a circle"
    echo "$loops"
fi

# The command line's binary: every library the dynamic loader brings in for it, directly or not.
cli=$build/snipwave-cli
if [ ! -x "$cli" ]; then
    fail "$cli was not built"
else
    loaded=$(ldd "$cli" | awk '{print $1}')
    if ! echo "$loaded" | grep -q 'libQt6Core'; then
        fail "ldd did not list the libraries of $cli"
    elif echo "$loaded" | grep -E 'libQt6(Gui|Widgets|DBus)'; then
        fail "snipwave-cli loads Qt Gui, Qt Widgets or Qt D-Bus"
    fi
fi

[ $status -eq 0 ] && echo "layers: all includes point downward; snipwave-cli loads no Qt Gui, Widgets or D-Bus"
exit $status
