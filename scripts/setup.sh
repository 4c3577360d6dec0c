#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any
# is missing. Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libfuse3-dev fuse3
  make dpkg-dev file man-db groff-base systemd
  # scripts/test.sh checks every source file against .clang-format.
  clang-format
  # The kernel-client suite boots a guest: QEMU, a kernel with its 9P and
  # virtio modules, and busybox and cpio for the guest's initramfs.
  qemu-system-x86 linux-image-amd64 busybox-static cpio
  # The trace test reads the server's capture file back with tshark.
  tshark
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "setup: not root and no sudo; install these packages: ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
