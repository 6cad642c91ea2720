#!/bin/bash
# The daemon's directories under /tmp at service start: whatever another user
# has put at /tmp/httpipeconfig or /tmp/logs (a directory of theirs with a
# symlink inside, a symlink to their own directory, a directory anyone may
# write, a file, a FIFO) is replaced by a directory 0755 root:root through the
# step the unit runs, through the init script's start and through the same
# step in a BusyBox chroot; a directory of root's is kept with what it holds.
# The step makes the queue directory 0770. The init scripts start each program
# under its address-space limit, and the boot-time tmpfiles entry creates both
# directories. Runs in a private mount namespace with its own /tmp and /run
# and overlays on /usr/sbin and /usr/libexec; needs root and makes one
# unprivileged user, removed at the end.
# Usage: service_dirs_test.sh (no arguments)
set -u
. "$(dirname "$0")/lib.sh"

dist=$(cd "$E2E_LIB_DIR/../dist" && pwd)
[ "$(id -u)" = 0 ] || e2e_skip "needs root"
for tool in unshare useradd userdel setpriv stat; do
    command -v "$tool" > /dev/null || e2e_skip "needs $tool"
done
unshare --mount --propagation private true 2> /dev/null || e2e_skip "mount namespaces are not available"
e2e_enter_private_mounts "$@"

# The directories unit, which the daemon's requires, runs the installed step;
# here its source stands in for it.
unit_step=$(sed -n 's/^ExecStart=[-+@:!]*\(\/[^ ]*prepare-dirs\)$/\1/p' "$dist/autoprovisionclient-dirs.service")
[ -n "$unit_step" ] || e2e_fail "the directories unit runs no prepare-dirs"
grep -qx "Requires=autoprovisionclient-dirs.service" "$dist/autoprovisionclient.service" \
    || e2e_fail "the daemon's unit does not require the directories unit"
command -v start-stop-daemon > /dev/null || e2e_skip "needs start-stop-daemon"

user=apcsec$$
users_ready=0
cleanup()
{
    local status=$?
    umount /run 2> /dev/null
    umount /tmp 2> /dev/null
    [ "$users_ready" = 0 ] || userdel "$user" 2> /dev/null
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# useradd fails while another program holds the lock on /etc/passwd.
for ((try = 0; try < 10; ++try)); do
    useradd --system --no-create-home --shell /usr/sbin/nologin --user-group "$user" 2> /dev/null && break
    sleep 0.5
done
id -u "$user" > /dev/null 2>&1 || e2e_skip "useradd failed"
users_ready=1
uid=$(id -u "$user")

mount -t tmpfs -o mode=0755 apc-service-run /run || e2e_fail "tmpfs on /run"
# A checkout under /tmp vanishes under the tmpfs: the scripts come along first.
cp -r "$dist" /run/apc-service-dist || e2e_fail "copy $dist"
dist=/run/apc-service-dist
mount -t tmpfs -o mode=1777 apc-service-tmp /tmp || e2e_fail "tmpfs on /tmp"

# The init scripts run as installed: the step under /usr/libexec and stand-ins
# for the two programs under /usr/sbin (overlays), and a start-stop-daemon
# first on PATH that records the address-space limit it was started under.
work=/run/apc-service
mkdir -p "$work/bin" "$work/sbin-upper" "$work/sbin-work" "$work/libexec-work" \
    "$work/libexec-upper/$(basename "$(dirname "$unit_step")")" || e2e_fail "mkdir $work"
cp "$dist/prepare-dirs" "$work/libexec-upper/${unit_step#/usr/libexec/}" || e2e_fail "copy prepare-dirs"
mkdir -p /usr/libexec
for dir in sbin libexec; do
    mount -t overlay "apc-service-$dir" \
        -o "lowerdir=/usr/$dir,upperdir=$work/$dir-upper,workdir=$work/$dir-work" "/usr/$dir" \
        || e2e_fail "overlay on /usr/$dir"
done
# The chroot for the step under BusyBox: busybox and its links, the step,
# and the same /tmp and /run.
bbroot=$work/busybox
mkdir -p "$bbroot/bin" "$bbroot/sbin" "$bbroot/usr/bin" "$bbroot/usr/sbin" "$bbroot/dev" "$bbroot/tmp" \
    "$bbroot/var/run" "$bbroot${unit_step%/*}" || e2e_fail "mkdir $bbroot"
{ cp /bin/busybox "$bbroot/bin/" && chroot "$bbroot" /bin/busybox --install -s && mknod "$bbroot/dev/null" c 1 3 \
    && cp "$dist/prepare-dirs" "$bbroot$unit_step" && mount --bind /tmp "$bbroot/tmp" \
    && mount --bind /run "$bbroot/var/run"; } || e2e_fail "BusyBox chroot in $bbroot"
for program in autoprovisionclient presence-agent; do
    printf '#!/bin/sh\nexit 0\n' > "/usr/sbin/$program" && chmod 0755 "/usr/sbin/$program"
done
# shellcheck disable=SC2016  # expanded by the stand-in script when it runs
printf '#!/bin/sh\necho "$(ulimit -v) $*" >> %s/started\n' "$work" > "$work/bin/start-stop-daemon"
chmod 0755 "$work/bin/start-stop-daemon"
shell_limit=$(ulimit -v)

# run_step unit|init|busybox: what the unit, the init script or the step
# under BusyBox runs before the daemon.
run_step()
{
    if [ "$1" = unit ]; then
        timeout 20 "$unit_step"
    elif [ "$1" = busybox ]; then
        timeout 20 chroot "$bbroot" "$unit_step"
    else
        : > "$work/started"
        { PATH=$work/bin:$PATH timeout 20 sh "$dist/autoprovisionclient.init" start > /dev/null \
            && grep -qx "262144 -S .*-x /usr/sbin/autoprovisionclient" "$work/started"; } \
            || { echo "start-stop-daemon saw: $(cat "$work/started")"; return 1; }
    fi
}

as_user() { setpriv --reuid="$user" --regid="$user" --clear-groups "$@"; }

# plant KIND DIR: what the other user (or a careless root) leaves at DIR.
plant()
{
    local dir=$1 kind=$2
    case $kind in
        foreign-dir)
            as_user mkdir -m 0777 "$dir" && as_user ln -s /etc/shadow "$dir/planted" ;;
        symlink)
            as_user mkdir -p /tmp/theirs && as_user ln -s /tmp/theirs "$dir" ;;
        open-root-dir)
            mkdir -m 0777 "$dir" && as_user ln -s /etc/shadow "$dir/planted" ;;
        file)
            as_user touch "$dir" ;;
        fifo)
            as_user mkfifo "$dir" ;;
        root-dir)
            mkdir -m 0700 "$dir" && echo "report" > "$dir/kept" ;;
    esac
}

check()
{
    local dir=$1 kind=$2 by=${3:-}
    { [ ! -L "$dir" ] && [ -d "$dir" ]; } || e2e_fail "$kind${by:+ ($by)}: $dir is not a directory after the step"
    [ "$(stat -c '%u:%g %a' "$dir")" = "0:0 755" ] \
        || e2e_fail "$kind${by:+ ($by)}: $dir is $(stat -c '%U:%G %a' "$dir"), expected root:root 755"
    if [ "$kind" = root-dir ]; then
        [ "$(cat "$dir/kept" 2> /dev/null)" = report ] || e2e_fail "$kind${by:+ ($by)}: what root's $dir held is gone"
    else
        [ -z "$(ls -A "$dir")" ] || e2e_fail "$kind${by:+ ($by)}: $dir still holds $(ls -A "$dir")"
    fi
    if [ "$kind" = symlink ]; then
        [ "$(stat -c %u /tmp/theirs)" = "$uid" ] || e2e_fail "$kind${by:+ ($by)}: the symlink's target changed owner"
    fi
}

for kind in foreign-dir symlink open-root-dir file fifo root-dir; do
    for by in unit init busybox; do
        for dir in /tmp/httpipeconfig /tmp/logs; do
            plant "$dir" "$kind" || e2e_fail "$kind: planting $dir failed"
        done
        output=$(run_step "$by" 2>&1) || e2e_fail "$kind: the $by's step failed: $output"
        for dir in /tmp/httpipeconfig /tmp/logs; do
            check "$dir" "$kind" "$by"
        done
        [ "$(stat -c %a /run/msgq 2> /dev/null)" = 770 ] || e2e_fail "$kind: no /run/msgq 0770 after the $by's step"
        # Nothing is left aside in /tmp.
        leftover=$(find /tmp -mindepth 1 -maxdepth 1 ! -name httpipeconfig ! -name logs ! -name theirs)
        [ -z "$leftover" ] || e2e_fail "$kind: left in /tmp by the $by's step: $leftover"
        rm -rf /tmp/httpipeconfig /tmp/logs /tmp/theirs
    done
    e2e_ok "$kind: the unit's, the init script's and BusyBox's step leave root's directories"
done
[ "$(ulimit -v)" = "$shell_limit" ] || e2e_fail "the init script changed its caller's limit"

# The agent's init script starts it under its own limit.
: > "$work/started"
PATH=$work/bin:$PATH timeout 20 sh "$dist/presence-agent.init" start > /dev/null \
    || e2e_fail "presence-agent.init start failed"
grep -qx "65536 -S .*-x /usr/sbin/presence-agent" "$work/started" \
    || e2e_fail "presence-agent started as: $(cat "$work/started")"
e2e_ok "the init scripts start the daemon under 262144 KiB of address space, the agent under 65536"

# The boot-time entry on an empty /tmp.
if command -v systemd-tmpfiles > /dev/null; then
    # /etc is the machine's own here: its entry is left to the boot test.
    systemd-tmpfiles --create --exclude-prefix=/etc "$dist/autoprovisionclient.tmpfiles" \
        || e2e_fail "systemd-tmpfiles --create"
    for dir in /tmp/httpipeconfig /tmp/logs; do
        check "$dir" tmpfiles
    done
    # The queue directory the step made under the umask gets the library's mode.
    [ "$(stat -c '%u:%g %a' /run/msgq)" = "0:0 770" ] || e2e_fail "/run/msgq is $(stat -c '%u:%g %a' /run/msgq)"
    e2e_ok "the tmpfiles entry creates both directories 0755 root:root and /run/msgq 0770"
else
    echo "note: systemd-tmpfiles missing, tmpfiles entry not checked"
fi
exit 0
