#!/usr/bin/env bash
# Builds the server (optimised) and runs it in post mode under the name given
# (default "tolvane"), with the default registry and backing store. Stop it with
# Ctrl-C: it saves the tree and exits.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/user/tolvane post "${1:-tolvane}" "${@:2}"
