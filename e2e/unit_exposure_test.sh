#!/bin/bash
# The sandbox of the services as systemd rates it: the overall exposure of
# each unit file, read offline, must not pass 4.5 (of 10). Prints the figures.
# Usage: unit_exposure_test.sh DIST_DIR
set -u
dist=$1
limit=4.5
command -v systemd-analyze > /dev/null || { echo "skipped: needs systemd-analyze"; exit 77; }
failures=0
for unit in autoprovisionclient.service autoprovisionclient-dirs.service presence-agent.service; do
    report=$(cd / && systemd-analyze security --offline=true --no-pager "$dist/$unit" 2>&1)
    figure=$(printf '%s\n' "$report" | sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p')
    if [ -z "$figure" ]; then
        printf '%s\n' "$report" | tail -n 20
        echo "FAIL: $unit: no exposure figure"
        failures=$((failures + 1))
    elif awk -v x="$figure" -v limit="$limit" 'BEGIN { exit !(x > limit) }'; then
        printf '%s\n' "$report" | grep '✗'
        echo "FAIL: $unit: exposure $figure, above $limit"
        failures=$((failures + 1))
    else
        echo "ok: $unit: exposure $figure (at most $limit)"
    fi
done
[ "$failures" = 0 ]
