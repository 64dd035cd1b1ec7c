#!/usr/bin/env bash
# Every program and test binary of ours must bind FFmpeg and SDL at run time only.
set -u
dir=$1
status=0
checked=0
while IFS= read -r -d '' f; do
    file -b "$f" | grep -q '^ELF' || continue
    checked=$((checked + 1))
    if readelf -d "$f" | grep NEEDED | grep -E 'libav|libsw|libpostproc|SDL'; then
        echo "FAIL: $f links a media library at build time"
        status=1
    fi
done < <(find "$dir" -maxdepth 2 -type f -perm -u+x -print0)
[ "$checked" -gt 0 ] || { echo "FAIL: no binaries found in $dir"; exit 1; }
echo "checked $checked binaries"
exit $status
