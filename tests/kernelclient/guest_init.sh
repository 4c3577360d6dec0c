#!/bin/sh
# /init of the test guest: loads the 9P modules, mounts the tolvane tree that
# the host connected to the virtio-serial port with the kernel's own 9P2000
# client (trans=fd on the port), runs a workload of ordinary commands on it
# and reports one line per step on the console:
#   STEP <name> ok
#   STEP <name> fail <the command's first line of error output>
#   TIME <name> <seconds>        (how long the step took)
#   HOLD                         (waits for a line on the console, see below)
#   DONE
# then reboots, which ends QEMU (-no-reboot). With tlnwork=short on the
# kernel command line it stops after the first copy. The host decides which
# steps must pass and which must fail with which text; the guest only reports.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# The archive has no device nodes (it is built without root): the console
# comes from devtmpfs.
exec </dev/console >/dev/console 2>&1
for m in $(cat /modules.order); do
    insmod "/$m" || echo "GUEST insmod $m failed"
done

M=/mnt/t
W=$M/w
mkdir -p $M

# step NAME COMMAND...: runs COMMAND, reports its outcome and how long it
# took (from /proc/uptime, in hundredths of a second).
step() {
    name=$1
    shift
    t0=$(cut -d' ' -f1 /proc/uptime)
    if "$@" >/tmp/out 2>/tmp/err; then
        echo "STEP $name ok"
    else
        echo "STEP $name fail $(head -n 1 /tmp/err)"
    fi
    t1=$(cut -d' ' -f1 /proc/uptime)
    echo "TIME $name $(echo "$t1 $t0" | awk '{printf "%.2f", $1 - $2}')"
}

# Fails with MESSAGE on standard error.
fail() {
    echo "$*" >&2
    return 1
}

# The kernel's fd transport reads and writes with kernel_read/kernel_write,
# which a virtio-serial port does not offer (it has no read_iter/write_iter),
# so two FIFOs stand between them, fed by cat in both directions. The port
# opens only once; both copies share that one open.
#
# msize=65536: the transport watches at most two wait queues, here both of
# the incoming FIFO, so it never learns that the outgoing FIFO drained. A
# message no larger than a FIFO's 64 KiB is written whole at once (one
# request is in flight at a time and cat has emptied the FIFO before its
# reply came); a larger one would stall.
port=
for p in /dev/vport*p1; do [ -e "$p" ] && port=$p; done
[ -n "$port" ] || echo "GUEST no virtio-serial port"
exec 3<>"$port"
mkfifo /tmp/from-host /tmp/to-host
exec 4<>/tmp/from-host 5<>/tmp/to-host
cat <&3 >/tmp/from-host &
cat /tmp/to-host >&3 &

do_mount() {
    mount -t 9p -o trans=fd,rfdno=4,wfdno=5,version=9p2000,msize=65536 tolvane $M
}

check_cat() {
    [ "$(cat $W/new.txt)" = hello ] || fail "read back '$(cat $W/new.txt)'"
}

append() {
    echo world >>$W/new.txt || return 1
    [ "$(cat $W/new.txt)" = "hello
world" ] || fail "read back '$(cat $W/new.txt)'"
}

copy_in() {
    cp "/tmp/$1" "$W/$1" && cmp "/tmp/$1" "$W/$1"
}

copy_out() {
    cp "$W/$1" "/tmp/$1.out" && cmp "/tmp/$1" "/tmp/$1.out"
}

# read_bs FILE BS: reads FILE through the mount BS bytes per read.
read_bs() {
    dd if="$W/$1" of=/tmp/rd bs="$2" 2>/dev/null && cmp "/tmp/$1" /tmp/rd
}

removed() {
    rm $W/new.txt || return 1
    [ ! -e $W/new.txt ] || fail "new.txt still there"
}

many_files() {
    mkdir $W/many || return 1
    i=0
    while [ $i -lt 300 ]; do
        : >"$W/many/f$i" || return 1
        i=$((i + 1))
    done
    n=$(ls $W/many | wc -l)
    [ "$n" -eq 300 ] || fail "ls shows $n entries"
}

list_long() {
    n=$(ls -l $W/many | grep -c '^-')
    [ "$n" -eq 300 ] || fail "ls -l shows $n files"
}

# A block written past the end of a new file: the hole reads as zeros.
sparse() {
    dd if=/tmp/small of=/tmp/sparse bs=4096 count=1 seek=64 conv=notrunc 2>/dev/null
    dd if=/tmp/small of=$W/sparse bs=4096 count=1 seek=64 conv=notrunc 2>/tmp/dd || {
        cat /tmp/dd >&2
        return 1
    }
    cmp /tmp/sparse $W/sparse
}

still_there() {
    cmp /tmp/m3 $W/m3 || return 1
    cmp /tmp/sparse $W/sparse || return 1
    n=$(ls $W/many | wc -l)
    [ "$n" -eq 300 ] || fail "ls shows $n entries after mounting again"
}

size_is() {
    n=$(wc -c <"$1")
    [ "$n" -eq "$2" ] || fail "size $n, not $2"
}

# echo over an existing, longer file: both succeed, and the new text is all.
overwrite() {
    echo "first version, longer" >$W/ow.txt || return 1
    echo second >$W/ow.txt || return 1
    [ "$(cat $W/ow.txt)" = second ] || fail "read back '$(cat $W/ow.txt)'"
}

emptied() {
    : >$W/ow.txt || return 1
    size_is $W/ow.txt 0
}

cp_over() {
    cp /tmp/small $W/ow.txt && cmp /tmp/small $W/ow.txt
}

truncated() {
    truncate -s 0 $W/ow.txt || return 1
    size_is $W/ow.txt 0
}

# Grown by truncate: the new bytes read as zeros.
grown() {
    truncate -s 100000 $W/ow.txt || return 1
    size_is $W/ow.txt 100000 || return 1
    dd if=/dev/zero of=/tmp/zeros bs=1000 count=100 2>/dev/null
    cmp /tmp/zeros $W/ow.txt
}

ten_bytes() {
    printf 0123456789 >$W/ten.txt
}

kept_ten() {
    [ "$(cat $W/ten.txt)" = 0123456789 ] || fail "read back '$(cat $W/ten.txt)'"
}

from_host() {
    [ "$(cat $W/from-host)" = "written by the host" ] || fail "read '$(cat $W/from-host)'"
}

dd if=/dev/urandom of=/tmp/m1 bs=65536 count=16 2>/dev/null
dd if=/dev/urandom of=/tmp/m3 bs=65536 count=48 2>/dev/null
dd if=/dev/urandom of=/tmp/small bs=1001 count=1 2>/dev/null

step mount do_mount
if ! grep -q " $M 9p " /proc/mounts; then
    dmesg | tail -n 5 | sed 's/^/GUEST /'
    echo "GUEST no 9P mount; stopping"
    reboot -f
fi
step ls ls $M
step mkdir_p mkdir -p $W/a/b
step echo_new sh -c "echo hello >$W/new.txt"
step cat check_cat
step append append
step cp_1m copy_in m1
if grep -q "tlnwork=short" /proc/cmdline; then
    echo DONE
    reboot -f
fi
step read_bs4096 read_bs m1 4096
step read_bs65536 read_bs m1 65536
step read_bs_odd read_bs m1 4093
step rm_1m rm $W/m1
step cp_3m_in copy_in m3
step cp_3m_out copy_out m3
step cp_small copy_in small
step read_bs1 read_bs small 1
step rm removed
step rmdir_empty rmdir $W/a/b
step rmdir_nonempty rmdir $W
step many_files many_files
step ls_l_300 list_long
step sparse_dd sparse
step overwrite overwrite
step emptied emptied
step cp_over cp_over
step truncate_0 truncated
step truncate_grow grown
step ten_bytes ten_bytes
step truncate_shrink truncate -s 4 $W/ten.txt
step kept_ten kept_ten
step mv mv $W/small $W/small2
step chmod chmod 600 $W/small
step truncate truncate -s 10 $W/small
step touch touch $W/small
echo HOLD
read -r _line
step from_host from_host
step umount umount $M
step mount_again do_mount
step still_there still_there
umount $M
echo DONE
reboot -f
