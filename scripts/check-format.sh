#!/usr/bin/env bash
# Fails, naming the files, when a C++ source file of the tree differs from
# what clang-format makes of it with the tree's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
off=()
while IFS= read -r f; do
  clang-format --style=file "$f" | cmp -s - "$f" || off+=("$f")
done < <(git ls-files '*.h' '*.cpp')
if [ ${#off[@]} -gt 0 ]; then
  echo "check-format: these files differ from .clang-format (clang-format -i FILE):" >&2
  printf '  %s\n' "${off[@]}" >&2
  exit 1
fi
echo "check-format: $(git ls-files '*.h' '*.cpp' | wc -l) files as .clang-format has them"
