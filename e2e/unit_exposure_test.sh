#!/bin/bash
# The sandbox of the services as systemd rates it: the overall exposure of
# each unit file, read offline, must not pass 4.5 (of 10). Prints the figures.
# Usage: unit_exposure_test.sh DIST_DIR
set -u
limit=4.5 failures=0
command -v systemd-analyze > /dev/null || { echo "skipped: needs systemd-analyze"; exit 77; }
for unit in autoprovisionclient.service autoprovisionclient-dirs.service presence-agent.service; do
    report=$(cd / && systemd-analyze security --offline=true --no-pager "$1/$unit" 2>&1)
    figure=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p' <<< "$report")
    if [ -z "$figure" ]; then
        tail -n 20 <<< "$report"
        echo "FAIL: $unit: no exposure figure"
    elif awk -v x="$figure" -v limit="$limit" 'BEGIN { exit !(x > limit) }'; then
        grep '✗' <<< "$report"
        echo "FAIL: $unit: exposure $figure, above $limit"
    else
        echo "ok: $unit: exposure $figure (at most $limit)"
        continue
    fi
    failures=$((failures + 1))
done
[ "$failures" = 0 ]
