#!/bin/sh
# The init scripts on a BusyBox userland and on Debian's: each action checked
# with ps, in fresh mount, pid and network namespaces. First in a chroot that
# holds busybox and its applet links (its sh and start-stop-daemon), the
# installed tree and the libraries it needs; at the same time under dash with
# Debian's start-stop-daemon, the installed programs laid over /usr.
# The presence agent is the real one. The daemon ends at once off a device
# (it reads /proc/vexa), so stand-ins sit at its path: one that takes 2 s
# to end after SIGTERM and one that ignores it. Both userlands: each program
# under its address-space limit; whatever another user (or a careless root)
# left at /tmp/httpipeconfig or /tmp/logs replaced at the daemon's start by a
# directory 0755 root:root (root's own kept with what it holds), and the
# queue directory 0770. Under dash the tmpfiles entry makes them at boot. In
# the chroot, the BusyBox recipe of the README's Installing section is run as
# written, then the lines it adds as BusyBox init runs them.
# Usage: busybox_init_test.sh CMAKE BUILD_DIR C_COMPILER
# Exit 77 (skipped) when not root or when namespaces are unavailable.
set -u
fail() { echo "FAIL: $*"; exit 1; }

# pids PROGRAM: the processes running PROGRAM (zombies show no command line).
pids() { ps -o pid,args | awk -v program="$1" '$2 == program && NF == 2 { print $1 }' | tr '\n' ' ' | sed 's/ $//'; }

# act ACTION STATUS COUNT: the script's ACTION exits with STATUS and leaves
# COUNT processes of the program; $found gets their pids.
act()
{
    timeout 30 "$shell" "$script" "$1" > /dev/null 2>&1
    status=$? found=$(pids "$program")
    [ "$status" = "$2" ] || fail "$label: $1 exited $status, expected $2"
    [ "$(echo "$found" | wc -w)" = "$3" ] || fail "$label: $1 left ${found:-no process}, expected $3 of $program"
}

# lifecycle SCRIPT PROGRAM KIB: every action of one script, in order; the
# program runs under KIB of address space.
lifecycle()
{
    script=$scripts/$1 program=$2
    act start 0 1
    first=$found
    grep -q "^Max address space  *$(($3 * 1024)) " "/proc/$first/limits" \
        || fail "$label: $1: $(grep "address space" "/proc/$first/limits")"
    act start 0 1
    [ "$found" = "$first" ] || fail "$label: a second start left $found instead of $first"
    act status 0 1
    act restart 0 1
    [ "$found" != "$first" ] || fail "$label: restart left the old process $first"
    act stop 0 0
    act status 3 0
    act stop 0 0
    echo "ok: $label: $1 starts, starts again, reports, restarts and stops"
}

as_user() { "$standins/setpriv" --reuid=4242 --regid=4242 --clear-groups "$@"; }

# rooted KIND: both /tmp paths are directories 0755 root:root, holding only
# what root put there itself; the queue directory is 0770 root:root.
rooted()
{
    kept=
    [ "$1" = root-dir ] && kept=kept
    for dir in /tmp/httpipeconfig /tmp/logs; do
        { [ ! -L "$dir" ] && [ "$(stat -c '%u:%g %a' "$dir")" = "0:0 755" ] && [ "$(ls -A "$dir")" = "$kept" ]; } \
            || fail "$label: $1: $dir is $(ls -ld "$dir"), holding $(ls -A "$dir")"
    done
    [ "$(stat -c '%u:%g %a' /var/run/msgq)" = "0:0 770" ] || fail "$label: $1: /var/run/msgq is $(ls -ld /var/run/msgq)"
}

# actions SHELL SCRIPTS STANDINS LABEL: the checks, as root of a fresh
# namespace; the stand-ins are copied over the daemon's program. The start
# meets each kind of thing planted at both /tmp paths.
actions()
{
    shell=$1 scripts=$2 standins=$3 label=$4 daemon=/usr/sbin/autoprovisionclient
    lifecycle presence-agent /usr/sbin/presence-agent 65536
    [ "$(stat -c %a /var/run/msgq)" = 770 ] || fail "$label: /var/run/msgq is $(stat -c %a /var/run/msgq)"
    cp "$standins/slow" "$daemon" || fail "$label: copy the stand-in"
    script=$scripts/autoprovisionclient program=$daemon
    for kind in foreign-dir symlink open-root-dir file fifo root-dir; do
        rm -rf /tmp/httpipeconfig /tmp/logs /tmp/theirs /var/run/msgq
        for dir in /tmp/httpipeconfig /tmp/logs; do
            case $kind in
                foreign-dir) as_user mkdir -m 0755 "$dir" && as_user ln -s /etc/shadow "$dir/planted" ;;
                symlink) as_user mkdir -p /tmp/theirs && as_user ln -s /tmp/theirs "$dir" ;;
                open-root-dir) mkdir -m 0777 "$dir" && as_user ln -s /etc/shadow "$dir/planted" ;;
                file) as_user touch "$dir" ;;
                fifo) as_user mkfifo "$dir" ;;
                root-dir) mkdir -m 0700 "$dir" && echo report > "$dir/kept" ;;
            esac || fail "$label: $kind: planting $dir"
        done
        act start 0 1
        rooted "$kind"
        [ ! -e /tmp/theirs ] || [ "$(stat -c %u /tmp/theirs)" = 4242 ] || fail "$label: /tmp/theirs changed owner"
        [ -z "$(find /tmp -maxdepth 1 -name '.autoprovisionclient*')" ] || fail "$label: $kind: left in /tmp: $(ls -a /tmp)"
    done
    echo "ok: $label: the daemon's start leaves root's /tmp directories whatever stood there"
    lifecycle autoprovisionclient "$daemon" 262144
    # One of the two ends came by SIGTERM, not by an early SIGKILL.
    [ -e /tmp/stand-in.ended ] || fail "$label: the slow stand-in never ended by itself"
    cp "$standins/stubborn" "$daemon" || fail "$label: copy the stand-in"
    act start 0 1
    act stop 0 0
    echo "ok: $label: stop ends a daemon that ignores SIGTERM"
}

case ${1:-} in
    --in-chroot)
        actions sh /etc/init.d /stand-ins "BusyBox"
        # The README's recipe, then what BusyBox init does with the lines it
        # added: sysinit in order at boot, shutdown before halting.
        label="BusyBox recipe"
        cp /stand-ins/slow /usr/sbin/autoprovisionclient || fail "$label: copy the stand-in"
        sh /recipe.sh || fail "$label: the recipe failed"
        for stage in sysinit shutdown; do
            sed -n "s/^::$stage://p" /etc/inittab > "/tmp/$stage"
            [ -s "/tmp/$stage" ] || fail "$label: no $stage line in /etc/inittab"
            # init splits an action into words; no shell syntax.
            while read -r command; do
                # shellcheck disable=SC2086
                timeout 30 $command > /dev/null || fail "$label: $command failed"
            done < "/tmp/$stage"
            agent=$(pids /usr/sbin/presence-agent) daemon=$(pids /usr/sbin/autoprovisionclient)
            if [ "$stage" = sysinit ]; then
                { [ -n "$agent" ] && [ -n "$daemon" ] && [ "$agent" -lt "$daemon" ]; } \
                    || fail "$label: after boot the agent runs as ${agent:-nothing}, the daemon as ${daemon:-nothing}"
            else
                [ -z "$agent$daemon" ] || fail "$label: left running after shutdown: $agent $daemon"
            fi
        done
        echo "ok: $label: the agent starts before the daemon at boot, both end at shutdown"
        exit 0 ;;
    --in-debian)
        # /run, /tmp and /var/log of our own; the installed programs over
        # /usr/sbin and /usr/libexec.
        root=$2/root
        mount -t tmpfs -o mode=0755 apc-busybox-run /run || fail "tmpfs on /run"
        mkdir -p /run/apc/sbin-upper /run/apc/sbin-work /run/apc/libexec-upper /run/apc/libexec-work \
            || fail "mkdir /run/apc"
        { cp -r "$root/etc/init.d" "$root/stand-ins" /run/apc/ && cp "$root/usr/sbin/presence-agent" /run/apc/sbin-upper/ \
            && cp -r "$root/usr/libexec/autoprovisionclient" /run/apc/libexec-upper/ \
            && cp "$root/usr/lib/tmpfiles.d/autoprovisionclient.conf" /run/apc/; } || fail "copy the tree"
        for dir in sbin libexec; do
            mount -t overlay "apc-busybox-$dir" \
                -o "lowerdir=/usr/$dir,upperdir=/run/apc/$dir-upper,workdir=/run/apc/$dir-work" "/usr/$dir" \
                || fail "overlay on /usr/$dir"
        done
        { mount -t tmpfs -o mode=1777 apc-busybox-tmp /tmp && mount -t tmpfs apc-busybox-log /var/log; } \
            || fail "tmpfs on /tmp and /var/log"
        actions dash /run/apc/init.d /run/apc/stand-ins "dash"
        # The boot-time entry on an empty /tmp (/etc is the machine's own here).
        rm -rf /tmp/httpipeconfig /tmp/logs /run/msgq
        systemd-tmpfiles --create --exclude-prefix=/etc /run/apc/autoprovisionclient.conf || fail "systemd-tmpfiles"
        label=tmpfiles && rooted tmpfiles
        echo "ok: the tmpfiles entry makes both directories 0755 root:root and /run/msgq 0770"
        exit 0 ;;
esac

cmake_command=$1 build=$2 cc=$3 readme=$(dirname "$0")/../README.md
[ "$(id -u)" = 0 ] || { echo "skipped: needs root for namespaces"; exit 77; }
unshare --mount --pid --fork --net true 2> /dev/null || { echo "skipped: namespaces are not available"; exit 77; }
[ -x /bin/busybox ] || fail "needs /bin/busybox (busybox-static)"
work=$(mktemp -d /tmp/apc-busybox.XXXXXX) || fail "mktemp"
trap 'rm -rf "$work"' EXIT
root=$work/root

# The chroot: busybox and its links, the installed tree, the stand-ins and
# the libraries they all need.
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/proc" "$root/dev" "$root/tmp" \
    "$root/var/run" "$root/var/log" "$root/etc" "$root/stand-ins" || fail "mkdir $root"
chmod 1777 "$root/tmp"
DESTDIR=$root "$cmake_command" --install "$build" --prefix /usr > "$work/install.log" 2>&1 \
    || { cat "$work/install.log"; fail "cmake --install"; }
for kind in slow:0 stubborn:1; do
    "$cc" -O2 -DIGNORE_TERM="${kind#*:}" -o "$root/stand-ins/${kind%:*}" -x c - << 'EOF' || fail "compile the stand-ins"
/* Stand-in daemon: SIGTERM ends it 2 s later, leaving a mark, or never. */
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
static void OnTerm(int signal_number)
{
    (void)signal_number;
    sleep(2);
    close(open("/tmp/stand-in.ended", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    _exit(0);
}
int main(void) { signal(SIGTERM, IGNORE_TERM ? SIG_IGN : OnTerm); for (;;) pause(); }
EOF
done
cp "$(command -v setpriv)" "$root/stand-ins/" || fail "needs setpriv"
ldd "$root"/usr/sbin/* "$root"/usr/bin/* "$root"/stand-ins/* | sed -n 's/.*[ \t]\(\/[^ ]*\) (0x.*/\1/p' | sort -u |
    while read -r library; do mkdir -p "$root${library%/*}" && cp -L "$library" "$root$library" || exit 1; done \
    || fail "copy the libraries"
{ cp /bin/busybox "$root/bin/busybox" && chroot "$root" /bin/busybox --install -s; } || fail "busybox --install"
mknod -m 0666 "$root/dev/null" c 1 3 || fail "mknod $root/dev/null"
cp "$0" "$root/busybox_init_test.sh" || fail "copy the test"
# The recipe: the block that follows its line in README.md.
awk '/^Run this in the root directory of the image/ { found = 1; next }
     found && /^```/ { if (open) exit; open = 1; next }
     open { print }' "$readme" > "$root/recipe.sh"
[ -s "$root/recipe.sh" ] || fail "no BusyBox recipe in $readme"

# Both userlands at once: each has namespaces of its own, and they mostly wait.
started=$(date +%s)
timeout 100 env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin unshare --kill-child --mount --pid --fork --net \
    --mount-proc="$root/proc" chroot "$root" /bin/sh /busybox_init_test.sh --in-chroot > "$work/busybox.out" 2>&1 &
busybox_pid=$!
timeout 100 unshare --kill-child --mount --pid --fork --net --mount-proc sh "$0" --in-debian "$work" \
    > "$work/dash.out" 2>&1
dash_status=$?
wait "$busybox_pid"
busybox_status=$?
cat "$work/busybox.out" "$work/dash.out"
[ "$busybox_status" = 0 ] && [ "$dash_status" = 0 ] || exit 1
echo "ok: both userlands in $(($(date +%s) - started)) s"
exit 0
