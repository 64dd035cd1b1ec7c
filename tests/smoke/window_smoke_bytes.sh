#!/usr/bin/env bash
# The window started with a file whose name is not UTF-8 (Linux names are bytes): the smoke test
# of window_smoke.sh on a copy of SOURCE named with such bytes.
#   window_smoke_bytes.sh BUILD_DIR SCREENSHOT.png SOURCE.mp3
set -eu
build=${1:?build folder}
folder=$build/smoke/bytes
mkdir -p "$folder"
file=$folder/$(printf 'song \xff\xe9\x80.mp3')
cp "${3:?source file}" "$file"
trap 'rm -rf "$folder"' EXIT
"$(dirname "$0")/window_smoke.sh" "$build" "$2" "$file"
