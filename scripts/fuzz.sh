#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for the given
# number of seconds (default 30), starting from its seed corpus. New inputs go
# to a scratch copy so the committed corpus stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

shopt -s nullglob
ran=0
for dir in fuzz/*/; do
  name=$(basename "$dir")
  bin="build/fuzz/fuzz/$name/fuzz_$name"
  [ -x "$bin" ] || continue
  work=$(mktemp -d)
  [ -d "$dir/corpus" ] && cp -r "$dir/corpus/." "$work/"
  echo "== fuzz $name for ${seconds}s"
  status=0
  dict=()
  [ -f "$dir/fuzz_$name.dict" ] && dict=(-dict="$dir/fuzz_$name.dict")
  "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    "${dict[@]}" -artifact_prefix="build/fuzz/$name-" "$work" >"$work.log" 2>&1 || status=$?
  tail -n 12 "$work.log"
  rm -f "$work.log"
  rm -rf "$work"
  [ "$status" -eq 0 ] || { echo "fuzz $name failed (status $status)" >&2; exit 1; }
  ran=$((ran + 1))
done
echo "fuzz: $ran targets ran clean"
