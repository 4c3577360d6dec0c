#!/bin/bash
# Times the same work through a tlnmount mount and through tlnc, against a
# fresh posted tolvane server per rep (its store on tmpfs, so the disk does
# not set the pace), and prints the median and every rep in milliseconds.
#
#   tools/mount/bench.sh [BUILD_DIR [REPS]]     (default build/mount-rel, 7)
#
# Rows:
#   put/cp in 3 MiB     a 3-MiB host file into the tree (tlnc put; cp to the mount)
#   get/cp out 3 MiB    the same file back out (tlnc get; cp from the mount),
#                       compared with the original outside the timing
#   walk 300, cold      every entry of a directory of 300 files with its
#                       length: tlnc ls -l; find -printf '%s' on a fresh mount
#   walk 300, warm      the same again (the mount within its 1-s cache)
#   stat 300            stat -c %s of the 300 files (one process); tlnc has
#                       no counterpart beyond ls -l
# Every row includes starting the program (and, for tlnc, connecting). With
# strace installed, one more untimed pass counts the 9P requests of each row.
set -euo pipefail

BUILD=${1:-build/mount-rel}
REPS=${2:-7}
TOLVANE=$BUILD/user/tolvane
TLNC=$BUILD/tools/tlnc/tlnc
MOUNT=$BUILD/tools/mount/tlnmount
for b in "$TOLVANE" "$TLNC" "$MOUNT"; do
    [ -x "$b" ] || { echo "bench.sh: $b not built" >&2; exit 2; }
done

WORK=$(mktemp -d /dev/shm/tlnmount-bench-XXXXXX)
MNT=$WORK/mnt
SERVER_PID=
cleanup() {
    if grep -qs " $MNT fuse" /proc/mounts; then fusermount3 -u -z "$MNT"; fi
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$MNT" "$WORK/host"
export VELMOR_SRV=$WORK/srv
head -c 3145728 /dev/urandom > "$WORK/host/three"

now() { date +%s%N; }
declare -A T
record() { T[$1]="${T[$1]:-} $(( ($3 - $2) / 1000 ))"; }  # microseconds

start_server() {
    rm -rf "$WORK/store" "$WORK/srv"
    mkdir -p "$WORK/store"
    VELMOR_STORE=$WORK/store "$TOLVANE" post bench 2> "$WORK/server.log" &
    SERVER_PID=$!
    for _ in $(seq 500); do
        grep -qs 'posted to /srv' "$WORK/server.log" && return 0
        sleep 0.01
    done
    echo "bench.sh: server did not post" >&2; exit 1
}
stop_server() { kill "$SERVER_PID"; wait "$SERVER_PID" || true; SERVER_PID=; }
mount_tree() { "$MOUNT" -s bench "$MNT"; }
unmount_tree() {
    fusermount3 -u "$MNT"
    while grep -qs " $MNT fuse" /proc/mounts; do sleep 0.01; done
}

for rep in $(seq "$REPS"); do
    start_server
    # Setup: 300 empty files, made through a mount.
    mount_tree
    mkdir "$MNT/d"
    (cd "$MNT/d" && for i in $(seq 300); do : > "f$i"; done)
    unmount_tree

    a=$(now); "$TLNC" -s bench put "$WORK/host/three" /three; b=$(now); record "tlnc put" "$a" "$b"
    a=$(now); "$TLNC" -s bench get /three "$WORK/host/back"; b=$(now); record "tlnc get" "$a" "$b"
    cmp "$WORK/host/three" "$WORK/host/back"
    "$TLNC" -s bench rm /three
    a=$(now); n=$("$TLNC" -s bench ls -l /d | wc -l); b=$(now); record "tlnc ls -l" "$a" "$b"
    [ "$n" = 300 ] || { echo "bench.sh: tlnc listed $n" >&2; exit 1; }
    a=$(now); "$TLNC" -s bench ls -l /d > /dev/null; b=$(now); record "tlnc ls -l again" "$a" "$b"

    mount_tree
    a=$(now); n=$(find "$MNT/d" -printf '%s\n' | wc -l); b=$(now); record "find cold" "$a" "$b"
    [ "$n" = 301 ] || { echo "bench.sh: find saw $n" >&2; exit 1; }
    a=$(now); find "$MNT/d" -printf '%s\n' > /dev/null; b=$(now); record "find warm" "$a" "$b"
    a=$(now); stat -c %s "$MNT"/d/* > /dev/null; b=$(now); record "stat 300" "$a" "$b"
    a=$(now); cp "$WORK/host/three" "$MNT/three"; b=$(now); record "cp in" "$a" "$b"
    rm -f "$WORK/host/back"
    a=$(now); cp "$MNT/three" "$WORK/host/back"; b=$(now); record "cp out" "$a" "$b"
    cmp "$WORK/host/three" "$WORK/host/back"
    unmount_tree
    stop_server
done

# One more pass, untimed, under strace: the 9P requests each row sends
# (tlnc and tlnmount send each request with one sendto).
declare -A N
if command -v strace > /dev/null; then
    requests() { grep -E ' sendto$' "$WORK/strace" | awk '{print $4}'; }
    tlnc_count() { strace -f -c -e trace=sendto -o "$WORK/strace" "$TLNC" -s bench "$@" > /dev/null; requests; }
    mount_count() {
        strace -c -e trace=sendto -o "$WORK/strace" -p "$MOUNT_PID" 2> /dev/null &
        local tracer=$!
        sleep 0.5
        eval "$1" > /dev/null
        sleep 0.2
        kill -INT "$tracer"; wait "$tracer" || true
        requests
    }
    start_server
    mount_tree
    mkdir "$MNT/d"
    (cd "$MNT/d" && for i in $(seq 300); do : > "f$i"; done)
    unmount_tree
    N["tlnc put"]=$(tlnc_count put "$WORK/host/three" /three)
    N["tlnc get"]=$(tlnc_count get /three "$WORK/host/back")
    "$TLNC" -s bench rm /three
    N["tlnc ls -l"]=$(tlnc_count ls -l /d)
    N["tlnc ls -l again"]=${N["tlnc ls -l"]}
    "$MOUNT" -f -s bench "$MNT" & MOUNT_PID=$!
    while ! grep -qs " $MNT fuse" /proc/mounts; do sleep 0.01; done
    N["find cold"]=$(mount_count "find '$MNT/d' -printf '%s\n'")
    N["find warm"]=$(mount_count "find '$MNT/d' -printf '%s\n'")
    sleep 1.1  # past the attribute cache
    N["stat 300"]=$(mount_count "stat -c %s '$MNT'/d/*")
    N["cp in"]=$(mount_count "cp '$WORK/host/three' '$MNT/three'")
    rm -f "$WORK/host/back"
    N["cp out"]=$(mount_count "cp '$MNT/three' '$WORK/host/back'")
    unmount_tree
    wait "$MOUNT_PID" || true
    stop_server
fi

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR]=$1} END {printf "%.1f", v[int((NR+1)/2)]/1000}'; }
reps() { for v in $1; do printf ' %.1f' "$(echo "$v" | awk '{print $1/1000}')"; done; }
printf '%-18s %9s %9s %9s   %s\n' "row" "requests" "median ms" "min ms" "every rep (ms)"
for k in "tlnc put" "cp in" "tlnc get" "cp out" "tlnc ls -l" "find cold" "tlnc ls -l again" "find warm" "stat 300"; do
    min=$(echo "${T[$k]}" | tr ' ' '\n' | grep . | sort -n | head -1 | awk '{printf "%.1f", $1/1000}')
    printf '%-18s %9s %9s %9s  %s\n' "$k" "${N[$k]:--}" "$(echo "${T[$k]}" | median)" "$min" "$(reps "${T[$k]}")"
done
