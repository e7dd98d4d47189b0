#!/usr/bin/env bash
# Installs what is missing, builds tamo with its paths pointing at examples/, and runs the
# daemon in the foreground (Ctrl-C stops it). Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=out/example
mkdir -p "$dir"
# The sample settings, and a notification sink on port 60020 for `tamoctl listen` to be.
{ cat examples/tamo.conf; echo "tamo.notify.sinks = 127.0.0.1:60020"; } >"$dir/tamo.conf"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAMO_CONFIG_FILE="$PWD/$dir/tamo.conf" \
  -DTAMO_SCRIPT_DIR="$PWD/examples/scripts" \
  -DTAMO_BUILD_TESTS=OFF -DTAMO_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target tamo tamoctl zeld-sim
# The sample settings keep the audit file in the state folder; as root it can be made here.
mkdir -p /var/lib/tamo 2>/dev/null || true
echo "== tamo: settings $PWD/$dir/tamo.conf, scripts $PWD/examples/scripts"
exec "$dir/src/tamo"
