#!/bin/bash
# Installs the build into a temporary root as a device image gets it
# (DESTDIR=root, prefix /usr) and checks the whole tree and each tool's
# --version (the boot tests start what the units and init scripts name); then
# installs with a plain prefix, which keeps etc/init.d under it.
# Usage: install_test.sh CMAKE BUILD_DIR VERSION [EMULATOR...]
set -u
stage=$(mktemp -d /tmp/apc-install.XXXXXX) || { echo "FAIL: mktemp"; exit 1; }
trap 'rm -rf "$stage"' EXIT
root=$stage/root failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for prefix in /usr "$stage/local"; do
    DESTDIR=$([ "$prefix" = /usr ] && echo "$root") "$1" --install "$2" --prefix "$prefix" > "$stage/install.log" 2>&1 \
        || { cat "$stage/install.log"; echo "FAIL: cmake --install --prefix $prefix"; exit 1; }
done
expected="etc/init.d/autoprovisionclient etc/init.d/presence-agent usr/bin/autoprovision-fetch usr/bin/pnp-server
usr/lib/systemd/system/autoprovisionclient-dirs.service usr/lib/systemd/system/autoprovisionclient.service
usr/lib/systemd/system/presence-agent.service usr/lib/tmpfiles.d/autoprovisionclient.conf
usr/libexec/autoprovisionclient/prepare-dirs usr/sbin/autoprovision-cmd usr/sbin/autoprovisionclient
usr/sbin/presence-agent usr/share/doc/autoprovisionclient/LICENSE"
expected=$(tr ' ' '\n' <<< "$expected")
found=$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "installed tree differs:$(diff <(echo "$expected") <(echo "$found") | sed 's/^/  /')"
for path in etc/init.d/autoprovisionclient etc/init.d/presence-agent sbin/autoprovisionclient \
            lib/systemd/system/presence-agent.service; do
    [ -f "$stage/local/$path" ] || fail "prefix $stage/local: $path missing"
done
# Each tool answers --version with the project's version; the daemon takes no options.
for tool in usr/sbin/presence-agent usr/sbin/autoprovision-cmd usr/bin/autoprovision-fetch usr/bin/pnp-server; do
    answer=$("${@:4}" "$root/$tool" --version 2>&1)
    [ "$answer" = "${tool##*/} $3" ] || fail "${tool##*/} --version said \"$answer\", expected \"${tool##*/} $3\""
done
grep -q "^MIT License" "$root/usr/share/doc/autoprovisionclient/LICENSE" || fail "LICENSE is not the MIT licence"
[ $failures = 0 ] || exit 1
echo "ok: DESTDIR install with prefix /usr: programs, units, /etc/init.d scripts, licence, --version $3"
