#!/usr/bin/env bash
# The player's parts know nothing of the component: only the component's own files include
# TCustomPlayer.h (TFFPlayer is the component as the window uses it, so it derives from it), the
# parts speak up through their one small interface, and they include one another only downward
# (read → decode → output → display), never in a circle.
#
#   check_player_layers.sh SOURCE_DIR
set -u
src=$1
status=0

found=$(cd "$src" && grep -lE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"media/play/TCustomPlayer\.h"' \
                         media/play/*.h media/play/*.cpp | grep -vE '^media/play/T(Custom|FF)Player\.(h|cpp)$')
if [ -n "$found" ]; then
    echo "FAIL: a part of the player includes the component"
    echo "$found"
    status=1
fi

edges=$(cd "$src" && for f in media/play/*.h media/play/*.cpp; do
    unit=${f%.*}
    sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"(media\/play\/[^"]+)\.h".*/\1/p' "$f" |
        while read -r dep; do
            [ "$dep" != "$unit" ] && echo "$unit $dep"
        done
done)
if ! loops=$(echo "$edges" | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
    echo "FAIL: parts of the player include each other in a circle"
    echo "$loops"
    status=1
fi

# The parts' order: each may include only parts further down the way the data flows. The shared
# record and the host interface lie below every part.
rank() {
    case $1 in
    media/play/TPlayback) echo 0 ;;            # read
    media/play/TVideoDecoder) echo 1 ;;        # decode (pictures take the subtitles in)
    media/play/TSubtitleDecoder) echo 2 ;;     # decode
    media/play/TAudioOutput) echo 2 ;;         # decode and output
    media/play/TPlayerDisplay) echo 3 ;;       # display
    media/play/TPlaybackState) echo 4 ;;
    media/play/TPlayerHost) echo 5 ;;
    *) echo "" ;;
    esac
}
while read -r unit dep; do
    [ -z "$unit" ] && continue
    from=$(rank "$unit") to=$(rank "$dep")
    if [ -n "$from" ] && [ -n "$to" ] && [ "$to" -le "$from" ]; then
        echo "FAIL: $unit includes $dep, which lies above or beside it in the data's way"
        status=1
    fi
done <<<"$edges"

[ $status -eq 0 ] && echo "player: only the component includes TCustomPlayer.h; parts include downward only"
exit $status
