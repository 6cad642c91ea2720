#!/bin/bash
# Installs the build into a temporary root as a device image gets it
# (DESTDIR=root, prefix /usr) and checks the whole tree: the programs under
# usr/sbin and usr/bin, the systemd units and the tmpfiles entry, the start
# step under usr/libexec, the init scripts under etc/init.d, the licence, and
# each tool's --version, and that every program the units and the init
# scripts start is installed. Then installs with a plain prefix,
# where the init scripts go to <prefix>/etc/init.d.
# Usage: install_test.sh CMAKE BUILD_DIR VERSION [EMULATOR...]
set -u
cmake_command=$1
build=$2
version=$3
emulator=("${@:4}")

stage=$(mktemp -d /tmp/apc-install.XXXXXX) || { echo "FAIL: mktemp"; exit 1; }
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# install_into LOG [cmake --install options...], with DESTDIR from the caller.
install_into()
{
    local log=$1; shift
    if ! "$cmake_command" --install "$build" "$@" > "$log" 2>&1; then
        cat "$log"
        echo "FAIL: cmake --install $* failed"
        exit 1
    fi
}

root=$stage/root
DESTDIR=$root install_into "$stage/install.log" --prefix /usr

expected="etc/init.d/autoprovisionclient
etc/init.d/presence-agent
usr/bin/autoprovision-fetch
usr/bin/pnp-server
usr/lib/systemd/system/autoprovisionclient-dirs.service
usr/lib/systemd/system/autoprovisionclient.service
usr/lib/systemd/system/presence-agent.service
usr/lib/tmpfiles.d/autoprovisionclient.conf
usr/libexec/autoprovisionclient/prepare-dirs
usr/sbin/autoprovision-cmd
usr/sbin/autoprovisionclient
usr/sbin/presence-agent
usr/share/doc/autoprovisionclient/LICENSE"
found=$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "installed tree differs:$(diff <(echo "$expected") <(echo "$found") | sed 's/^/  /')"
# Every installed path is one that cmake --install reports, DESTDIR included.
grep -q "Installing: $root/etc/init.d/autoprovisionclient" "$stage/install.log" \
    || fail "cmake --install did not report the init script under DESTDIR"

for program in usr/sbin/autoprovisionclient usr/sbin/presence-agent usr/sbin/autoprovision-cmd \
               usr/bin/autoprovision-fetch usr/bin/pnp-server etc/init.d/autoprovisionclient \
               etc/init.d/presence-agent; do
    [ -x "$root/$program" ] || fail "$program is not executable"
done

# Each tool answers --version with the project's version; the daemon takes no options.
for tool in usr/sbin/presence-agent usr/sbin/autoprovision-cmd usr/bin/autoprovision-fetch usr/bin/pnp-server; do
    name=$(basename "$tool")
    answer=$("${emulator[@]}" "$root/$tool" --version 2>&1)
    [ "$answer" = "$name $version" ] || fail "$name --version said \"$answer\", expected \"$name $version\""
done

for name in autoprovisionclient presence-agent; do
    unit=$root/usr/lib/systemd/system/$name.service
    if [ -f "$unit" ]; then
        # The unit starts the program where it was installed.
        grep -qx "ExecStart=/usr/sbin/$name\( .*\)\?" "$unit" || fail "$name.service does not start /usr/sbin/$name"
        grep -q "^\[Install\]" "$unit" || fail "$name.service has no [Install] section"
    fi
    script=$root/etc/init.d/$name
    if [ -f "$script" ]; then
        sh -n "$script" || fail "etc/init.d/$name is not valid sh"
        grep -q "/usr/sbin/$name" "$script" || fail "etc/init.d/$name does not name /usr/sbin/$name"
        { grep -q "start)" "$script" && grep -q "stop)" "$script"; } || fail "etc/init.d/$name lacks start or stop"
    fi
done
# Every program the units and the init scripts start is in the tree (ours) or
# on this system (/bin/mkdir and the like).
for file in "$root"/usr/lib/systemd/system/*.service "$root"/etc/init.d/*; do
    [ -f "$file" ] || continue
    while IFS= read -r path; do
        [ -x "$root$path" ] || [ -x "$path" ] || fail "${file#"$root"/} starts $path, which is not installed"
    done < <(sed -n -e 's/^Exec[A-Za-z]*=[-+@:!]*\(\/[^ ]*\).*/\1/p' -e 's/^[A-Z_]*=\(\/usr\/[^ ]*\)$/\1/p' "$file")
done
grep -q "^MIT License" "$root/usr/share/doc/autoprovisionclient/LICENSE" || fail "LICENSE is not the MIT licence"

# A plain prefix keeps everything under it.
install_into "$stage/local.log" --prefix "$stage/local"
for path in etc/init.d/autoprovisionclient etc/init.d/presence-agent sbin/autoprovisionclient \
            lib/systemd/system/presence-agent.service; do
    [ -f "$stage/local/$path" ] || fail "prefix $stage/local: $path missing"
done

if [ $failures != 0 ]; then
    echo "installed under DESTDIR with prefix /usr:"
    while IFS= read -r path; do echo "  $path"; done <<< "$found"
    exit 1
fi
echo "ok: DESTDIR install with prefix /usr: programs, units, /etc/init.d scripts, licence, --version $version"
exit 0
