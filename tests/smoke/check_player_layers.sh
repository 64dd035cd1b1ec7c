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

[ $status -eq 0 ] && echo "player: only the component includes TCustomPlayer.h; no circles"
exit $status
