#!/usr/bin/env bash
# The test command's choice of where the tests run (scripts/lib/private-run):
# private namespaces the usual way; under chroot, where the usual way cannot
# make the mounts private, the way that leaves them and makes only /proc
# private; else the machine's own processes, where a process named
# fpv_grd_service that the tests did not start is named in one line and
# either waited for (a zombie) or the run stopped (status 3). unshare,
# mountpoint, mount and ip are stand-ins that record their calls, /proc is
# a made-up folder: nothing of this machine is touched.
#
#   tests/check_private_run.sh SOURCE_DIR
set -uo pipefail
src=${1:?usage: check_private_run.sh SOURCE_DIR}
work=$(mktemp -d /tmp/avmenu-private-XXXXXX)
trap 'rm -rf "$work"' EXIT

bin=$work/bin
mkdir -p "$bin"
for tool in bash cat sleep rm; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
stub() {  # NAME BODY: a stand-in command that records its arguments
    printf '#!/bin/bash\necho "%s $*" >>"$CALLS"\n%s\n' "$1" "$2" >"$bin/$1"
    chmod 755 "$bin/$1"
}
# unshare: NS=usual makes every namespace; NS=chroot fails the usual way as
# under chroot; NS=none fails every way. It runs what follows "--".
stub unshare 'case "$NS:$*" in
    none:*) echo "unshare: unshare failed: Operation not permitted" >&2; exit 1 ;;
    chroot:*--mount-proc*) echo "unshare: cannot change root filesystem propagation: Invalid argument" >&2; exit 1 ;;
esac
while [ "$1" != -- ]; do shift; done
shift
exec "$@"'
stub mountpoint 'exit 0'
stub mount 'exit 0'
stub ip 'exit 0'
stub the-tests 'echo "the tests run, $AVMENU_PRIVATE_RUN"'

failures=0
proc=$work/proc
# made-up /proc entries: "pid:comm:state:parent" words
make_proc() {
    rm -rf "$proc"
    mkdir -p "$proc/self"
    local e pid comm state parent
    for e in $1; do
        IFS=: read -r pid comm state parent <<<"$e"
        mkdir -p "$proc/$pid"
        echo "$comm" >"$proc/$pid/comm"
        echo "$pid ($comm) $state $parent 1 1 0 -1" >"$proc/$pid/stat"
    done
}

# namespaces | made-up /proc | reaped after (s) | status | what it prints | the calls | label
cases=(
"usual|100:fpv_grd_service:S:1||0|t: running in private PID, mount and network namespaces\nthe tests run, private|unshare -p -f --mount-proc -n -- bash -c ip link set lo up && exec \"\$@\" private bash -c : >/dev/udp/127.0.0.1/6222;ip link set lo up;unshare -p -f --mount-proc -n -- bash -c ip link set lo up && exec \"\$@\" private the-tests a b;ip link set lo up;the-tests a b|private the usual way: a simulator's stand-in outside does not matter"
"chroot|||0|t: running in private PID, mount and network namespaces\nthe tests run, private|unshare -p -f --mount-proc -n -- bash -c ip link set lo up && exec \"\$@\" private bash -c : >/dev/udp/127.0.0.1/6222;unshare -p -f -m --propagation unchanged -n -- bash -c mountpoint -q /proc && mount --make-rprivate /proc && mount -t proc proc /proc && ip link set lo up && exec \"\$@\" private bash -c : >/dev/udp/127.0.0.1/6222;mountpoint -q /proc;mount --make-rprivate /proc;mount -t proc proc /proc;ip link set lo up;unshare -p -f -m --propagation unchanged -n -- bash -c mountpoint -q /proc && mount --make-rprivate /proc && mount -t proc proc /proc && ip link set lo up && exec \"\$@\" private the-tests a b;mountpoint -q /proc;mount --make-rprivate /proc;mount -t proc proc /proc;ip link set lo up;the-tests a b|under chroot: the mounts left, /proc made private"
"none|7:sshd:S:1 8:fpv_grd_servic:S:1||0|t: no private namespaces here (unshare: unshare failed: Operation not permitted); the tests share this machine's processes and port 6222\nthe tests run, shared|unshare;unshare;the-tests a b|shared, nothing named like the service: straight on"
"none|7:sshd:S:1 4242:fpv_grd_service:S:1||3|t: no private namespaces here (unshare: unshare failed: Operation not permitted); the tests share this machine's processes and port 6222\nt: a process named fpv_grd_service that the tests did not start runs here (pid 4242, state S); they would take it for their stand-in: stop it (the simulator: q; else kill 4242), or run the tests where unshare works|unshare;unshare|shared, a live service: stops at once, names it"
"none|4242:fpv_grd_service:T:1||3|t: no private namespaces here (unshare: unshare failed: Operation not permitted); the tests share this machine's processes and port 6222\nt: a process named fpv_grd_service that the tests did not start runs here (pid 4242, state T); they would take it for their stand-in: stop it (the simulator: q; else kill 4242), or run the tests where unshare works|unshare;unshare|shared, a stopped service: the same"
"none|4242:fpv_grd_service:Z:4000|1|0|t: no private namespaces here (unshare: unshare failed: Operation not permitted); the tests share this machine's processes and port 6222\nt: a dead process named fpv_grd_service (pid 4242, state Z) waits for its parent (pid 4000) to reap it; waiting up to 3 s\nthe tests run, shared|unshare;unshare;the-tests a b|shared, a zombie reaped soon: waited for, then on"
"none|4242:fpv_grd_service:Z:4000||3|t: no private namespaces here (unshare: unshare failed: Operation not permitted); the tests share this machine's processes and port 6222\nt: a dead process named fpv_grd_service (pid 4242, state Z) waits for its parent (pid 4000) to reap it; waiting up to 3 s\nt: the dead process named fpv_grd_service (pid 4242, state Z) is still there; end its parent (pid 4000), or run the tests where unshare works|unshare;unshare|shared, a zombie never reaped: waited for, then stops"
)

for row in "${cases[@]}"; do
    IFS='|' read -r ns entries reaped status expected calls label <<<"$row"
    make_proc "$entries"
    [ -n "$reaped" ] && (sleep "$reaped"; rm -rf "$proc/4242") &
    export CALLS=$work/calls
    : >"$CALLS"
    out=$(env -i PATH="$bin" NS="$ns" CALLS="$CALLS" AVMENU_PROC="$proc" AVMENU_ZOMBIE_WAIT=3 \
        bash "$src/scripts/lib/private-run" t the-tests a b 2>&1)
    got=$?
    wait
    # the calls, cut to the command's name where the row gives only that
    seen=$(while read -r line; do
        case "$calls" in *"$line"*) echo "$line" ;; *) echo "${line%% *}" ;; esac
    done <"$CALLS" | paste -sd';')
    [ "$got" = "$status" ] || { echo "FAIL: $label: status $got, expected $status"; failures=$((failures + 1)); }
    [ "$out" = "$(printf '%b' "$expected")" ] || { printf 'FAIL: %s: printed\n%s\nexpected\n%b\n' "$label" "$out" "$expected"; failures=$((failures + 1)); }
    [ "$seen" = "$calls" ] || { printf 'FAIL: %s: calls\n%s\nexpected\n%s\n' "$label" "$seen" "$calls"; failures=$((failures + 1)); }
done
[ "$failures" = 0 ] && echo "private-run: ${#cases[@]} cases hold"
exit $((failures > 0))
