#!/bin/sh
# Builds the test guest's initramfs: a static busybox, the kernel modules the
# guest needs for a 9P mount over a virtio-serial port (with everything they
# depend on, in load order) and INIT as /init.
#
# usage: make_initramfs.sh OUT_DIR KERNEL_VERSION INIT
# Writes OUT_DIR/initramfs.cpio (newc, uncompressed: quicker to unpack in an
# emulated guest than to inflate). Exits 0 on success, 1 with a message on
# standard error otherwise.
set -eu

out=$1
kver=$2
init=$3
moddir=/lib/modules/$kver
root=$out/root

die() {
    echo "make_initramfs: $*" >&2
    exit 1
}

[ -f "$moddir/modules.dep" ] || die "no $moddir/modules.dep"
busybox=$(command -v busybox) || die "no busybox"
command -v cpio >/dev/null || die "no cpio"

rm -rf "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/mnt"
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$init" "$root/init"
chmod 755 "$root/init"

# Appends the module at PATH (as modules.dep names it) to $order after the
# modules it depends on.
order=
add_module() {
    local path deps d
    path=$1
    case " $order " in *" $path "*) return 0 ;; esac
    deps=$(grep "^$path:" "$moddir/modules.dep" | cut -d: -f2)
    for d in $deps; do add_module "$d"; done
    order="$order $path"
}

# The fs, the fd transport, the virtio-serial port and the PCI transport it
# sits on; any of them may be built into the kernel instead.
for name in 9p 9pnet_fd virtio_console virtio_pci; do
    path=$(grep -oE "^([^:]*/)?$name\.ko(\.xz|\.zst|\.gz)?:" "$moddir/modules.dep" |
        head -n 1 | tr -d :) || true
    if [ -n "$path" ]; then
        add_module "$path"
    elif ! grep -qE "(^|/)$name\.ko$" "$moddir/modules.builtin" 2>/dev/null; then
        die "kernel $kver has no module $name"
    fi
done

: >"$root/modules.order"
for path in $order; do
    plain=${path%.xz}
    plain=${plain%.zst}
    plain=${plain%.gz}
    mkdir -p "$root/$(dirname "$plain")"
    case $path in
        *.xz) xz -dc "$moddir/$path" >"$root/$plain" || die "cannot unpack $path" ;;
        *.zst) zstd -qdc "$moddir/$path" >"$root/$plain" || die "cannot unpack $path" ;;
        *.gz) gzip -dc "$moddir/$path" >"$root/$plain" || die "cannot unpack $path" ;;
        *) cp "$moddir/$path" "$root/$plain" ;;
    esac
    echo "$plain" >>"$root/modules.order"
done

(cd "$root" && find . | cpio -o -H newc --quiet) >"$out/initramfs.cpio"
