#!/usr/bin/env bash
# Builds the server's core (user/tolvane) and the codec (lib/9p) freestanding,
# as velmor runs them: -ffreestanding, no exceptions, no RTTI, and linked with
# -nostdlib -static against nothing but the kernel call stubs
# (user/kernel/stubs.cpp), the memory routines and entry of
# user/kernel/freestanding/support.cpp, and the compiler's own support library.
# Anything that pulls in the C or C++ library (new, std::string, printf, a
# guarded local static, ...) leaves an undefined reference and fails the link.
#
# Usage: scripts/freestanding.sh [COMPILER ...]   (default: g++ and clang++,
# each when installed)
set -euo pipefail
cd "$(dirname "$0")/.."

compilers=("$@")
if [ ${#compilers[@]} -eq 0 ]; then
  for c in g++ clang++; do command -v "$c" >/dev/null 2>&1 && compilers+=("$c"); done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

flags=(-std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -ffreestanding -fno-exceptions -fno-rtti
       -fno-stack-protector -Iuser -Ilib)

for cxx in "${compilers[@]}"; do
  out="$work/$cxx"
  mkdir -p "$out"
  objs=()
  for src in user/tolvane/*.cpp lib/9p/*.cpp user/kernel/stubs.cpp; do
    obj="$out/$(echo "$src" | tr / _).o"
    "$cxx" "${flags[@]}" -c "$src" -o "$obj"
    objs+=("$obj")
  done
  # The support routines must not be turned back into calls to themselves.
  support_flags=(-fno-builtin)
  "$cxx" --version | grep -q clang || support_flags+=(-fno-tree-loop-distribute-patterns)
  "$cxx" "${flags[@]}" "${support_flags[@]}" -c user/kernel/freestanding/support.cpp \
    -o "$out/support.o"
  libgcc=$("$cxx" -print-libgcc-file-name)
  if ! "$cxx" -nostdlib -static -o "$out/tolvane" "${objs[@]}" "$out/support.o" "$libgcc" \
       2>"$out/link.log"; then
    cat "$out/link.log" >&2
    echo "freestanding ($cxx): the server needs something beyond the kernel calls" >&2
    exit 1
  fi
  echo "freestanding ($cxx): core and codec link with -nostdlib ($(stat -c %s "$out/tolvane") bytes)"
done
