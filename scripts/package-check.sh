#!/usr/bin/env bash
# Packaging checks, each failing when what it checks is broken:
#  - a plain build with the usual commands (no preset, Release, default
#    generator), warnings as errors as everywhere in CI;
#  - cmake --install into a prefix and under DESTDIR puts exactly the expected
#    files in place, and a program outside the project builds against the
#    installed codec with find_package(tolvane) and with pkg-config;
#  - every manual page formats without a warning (man --warnings);
#  - systemd-analyze verify passes on the installed user unit, with no remark;
#  - cpack -G DEB makes a .deb with the expected files and dependencies, and
#    the programs unpacked from it run: the server on its stdio and posted
#    (stopped by SIGTERM, saving), tlnc against it, tlnmount --help, and
#    tlnc's bash completion of commands and of the server's paths;
#  - the server's core and the codec link freestanding (scripts/freestanding.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-check: $*" >&2; exit 1; }

echo "== plain build: cmake -B $build -DCMAKE_BUILD_TYPE=Release"
cmake -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOLVANE_WERROR=ON -DTOLVANE_TESTS=OFF \
  -DTOLVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)"
[ -x "$build/tools/mount/tlnmount" ] || fail "tlnmount was not built (libfuse3-dev missing?)"

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
# What an install holds, relative to the prefix.
expected() {
  printf '%s\n' bin/tolvane bin/tlnc bin/tlnmount include/tolvane/9p/9p.h \
    "$libdir/libp9.a" "$libdir/pkgconfig/tolvane-p9.pc" \
    "$libdir/cmake/tolvane/tolvaneConfig.cmake" "$libdir/cmake/tolvane/tolvaneConfigVersion.cmake" \
    "$libdir/cmake/tolvane/tolvaneTargets.cmake" "$libdir/cmake/tolvane/tolvaneTargets-release.cmake" \
    lib/systemd/user/tolvane@.service share/bash-completion/completions/tlnc \
    share/man/man1/tolvane.1 share/man/man1/tlnc.1 share/man/man1/tlnmount.1 \
    share/man/man5/tolvane-image.5
  if [ -x "$build/tools/tlnimg/tlnimg" ]; then
    echo bin/tlnimg
    [ -f docs/man/tlnimg.1 ] && echo share/man/man1/tlnimg.1
  fi
}
expected | sort >"$work/expected"
# Compares the files under DIR with the expected list.
check_tree() {
  (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort >"$work/got"
  diff -u "$work/expected" "$work/got" >&2 || fail "$2 installs other files than expected (diff above)"
}

echo "== cmake --install --prefix, and DESTDIR"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
check_tree "$prefix" "cmake --install --prefix"
grep -qx "ExecStart=$prefix/bin/tolvane post tolvane-%i %i" "$prefix/lib/systemd/user/tolvane@.service" ||
  fail "the unit does not start the server installed under $prefix"
DESTDIR="$work/destdir" cmake --install "$build" >/dev/null
check_tree "$work/destdir/usr" "DESTDIR=... cmake --install"
[ "$(ls "$work/destdir")" = usr ] || fail "DESTDIR install wrote outside DESTDIR/usr"

echo "== the installed codec: find_package(tolvane) and pkg-config"
cmake -S packaging/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" | grep -qx "codec ok" || fail "find_package consumer"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --exists tolvane-p9 || fail "pkg-config"
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/pc-consumer" packaging/consumer/consumer.cpp \
  $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs tolvane-p9)
"$work/pc-consumer" | grep -qx "codec ok" || fail "pkg-config consumer"

echo "== manual pages"
for page in docs/man/*.[1-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done

echo "== systemd-analyze verify"
mkdir -m 0700 "$work/run"
# MANPATH lets verify check that the unit's Documentation= pages are installed.
remarks=$(XDG_RUNTIME_DIR="$work/run" MANPATH="$prefix/share/man" \
  systemd-analyze --user verify "$prefix/lib/systemd/user/tolvane@.service" 2>&1) ||
  fail "systemd-analyze verify: $remarks"
[ -z "$remarks" ] || fail "systemd-analyze verify: $remarks"

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tolvane_*.deb)
dpkg-deb --info "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libc6 fuse3 libfuse3-3; do
  [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "the package does not depend on $dep: $depends"
done
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort >"$work/got"
diff -u "$work/expected" "$work/got" >&2 || fail "the package holds other files than expected"
root="$work/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin"

echo "== the packaged programs"
"$bin/tlnc" --help >/dev/null || fail "tlnc --help"
"$bin/tlnmount" --help >/dev/null || fail "tlnmount --help"
log=$(VELMOR_STORE= "$bin/tolvane" </dev/null 2>&1) || fail "tolvane on stdio: $log"
[[ $log == *"[tolvane] EOF, exiting"* ]] || fail "tolvane on stdio: $log"
mkdir -p "$work/site/css"
echo "<h1>hello</h1>" >"$work/site/index.html"
echo "h1 {}" >"$work/site/css/main.css"
export VELMOR_SRV="$work/srv" VELMOR_STORE="$work/store"
"$bin/tolvane" post ci 4 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -S "$VELMOR_SRV/ci" ] && break; sleep 0.1; done
[ -S "$VELMOR_SRV/ci" ] || fail "the packaged server did not post itself: $(cat "$work/server.log")"
"$bin/tlnc" -s ci put -r "$work/site" /var/www
[ "$("$bin/tlnc" -s ci cat /var/www/site/css/main.css)" = "h1 {}" ] || fail "tlnc put -r, cat"
"$bin/tlnc" -s ci df

# Completion, as bash runs it for the installed tlnc.
complete_words() {
  PATH="$bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
    _tlnc; printf "%s\n" "${COMPREPLY[@]}"' _ "$root/usr/share/bash-completion/completions/tlnc" "$@"
}
[ "$(complete_words tlnc d)" = df ] || fail "completion of a command: $(complete_words tlnc d)"
[ "$(complete_words tlnc -s ci ls /var/w)" = /var/www/ ] ||
  fail "completion of a tree path: $(complete_words tlnc -s ci ls /var/w)"
[ "$(complete_words tlnc -s ci cat var/www/site/i)" = var/www/site/index.html ] ||
  fail "completion of a relative tree path: $(complete_words tlnc -s ci cat var/www/site/i)"

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" -eq 0 ] || fail "the server exited $status on SIGTERM: $(cat "$work/server.log")"
[ -s "$VELMOR_STORE/tln-4.img" ] || fail "no image saved at SIGTERM"
[ ! -e "$VELMOR_SRV/ci" ] || fail "the server left its socket behind"
unset VELMOR_SRV VELMOR_STORE

echo "== freestanding core and codec"
scripts/freestanding.sh

echo "package-check: all passed"
