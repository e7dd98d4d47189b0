#!/usr/bin/env bash
# Counts the instructions the daemon spends per request, deterministically, under callgrind.
#
#   bench/instructions.sh [N]        N requests of each kind (default 2000)
#
# Builds a Release daemon with debug symbols in out/bench-release (settings in that folder, the
# example scripts of examples/scripts, data in a temporary folder), starts zeld-sim and the
# daemon under valgrind --tool=callgrind with instrumentation off, sends a warm-up, then for
# each kind of request zeroes the counters, sends N requests one at a time with tamoctl, and
# dumps. Prints instructions per request: the total; "outside", all but the protected calls
# that run Lua code (the chunk and the entry function; the argument table's conversion, which
# runs inside one, is counted as outside); and the total split by where the instructions lie:
# the daemon's own code (src/ and lib/, linked into the binary), Lua, libc allocation (malloc,
# free, new, delete and their helpers), the rest of libc and libstdc++, log4cpp, and the rest.
# Keeps the callgrind files in out/bench-release. Needs valgrind.
# Ports: $TAMO_BENCH_PORT (broker, default 60710) and that minus 10 (north). Extra settings
# lines: $TAMO_BENCH_SETTINGS (for example "tamo.script.budget_ms = 0").
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-2000}
port=${TAMO_BENCH_PORT:-60710}
north=$((port - 10))
dir=$PWD/out/bench-release
mkdir -p "$dir"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$dir/tamo.conf" <<CONF
tamo.broker.port = $port
tamo.north.host = 127.0.0.1
tamo.north.port = $north
log4cpp.rootCategory = INFO, console
log4cpp.appender.console = ConsoleAppender
log4cpp.appender.console.layout = PatternLayout
log4cpp.appender.console.layout.ConversionPattern = %d{%H:%M:%S.%l} %-5p %c: %m%n
${TAMO_BENCH_SETTINGS:-}
CONF

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
  -DTAMO_CONFIG_FILE="$dir/tamo.conf" -DTAMO_SCRIPT_DIR="$PWD/examples/scripts" \
  -DTAMO_BUILD_TESTS=OFF -DTAMO_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target tamo tamoctl zeld-sim >/dev/null

"$dir/tools/zeld-sim" -b 127.0.0.1 -p "$north" >"$work/zeld.log" 2>&1 &
pids+=($!)
TAMO_DATA_DIR="$work/data" valgrind --tool=callgrind --instr-atstart=no \
  --callgrind-out-file="$work/cg.%p" "$dir/src/tamo" >"$work/tamo.log" 2>&1 &
vg=$!
pids+=($vg)

ctl() { "$dir/tools/tamoctl" -p "$port" -t 20 "$@" >/dev/null; }
for _ in $(seq 100); do
  ctl -t 0.5 get logging.level 2>/dev/null && break
  sleep 0.5
done
callgrind_control -i on "$vg" >/dev/null 2>&1
# Warm-up: every script path once, the data files written, the caches filled.
ctl -c 50 get logging.level
ctl -c 50 set logging.level=5
ctl -c 50 get system.hostname ntp.server

# A set sent again with the same sequence number and bytes from the same port is answered from
# the replay cache. tamoctl counts sequence numbers up from one socket, so its sets repeat after
# 128: owned sets are sent in runs of 100 from a new socket each; the replayed set is one
# datagram sent again and again from one socket, after a first send that runs it.
replay() {
  python3 - "$port" "$n" "$vg" "$("$dir/tools/tamoctl" -n --seq 5 set logging.level=4 | tail -1)" <<'PY'
import socket, subprocess, sys
port, n, vg, data = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], bytes.fromhex(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(20)
for i in range(n + 1):
    s.sendto(data, ("127.0.0.1", port))
    s.recv(2048)
    if i == 0:
        subprocess.run(["callgrind_control", "-z", vg], stdout=subprocess.DEVNULL)
PY
}
declare -A request=(
  [owned-get]="get logging.level"
  [owned-set]="set logging.level=6"
  [forwarded-get]="get system.hostname ntp.server"
)
kinds=(owned-get owned-set replayed-set forwarded-get)
declare -A file=()
for kind in "${kinds[@]}"; do
  callgrind_control -z "$vg" >/dev/null 2>&1
  case $kind in
    owned-set) for ((left = n; left > 0; left -= 100)); do
      ctl -c $((left < 100 ? left : 100)) ${request[$kind]}
    done ;;
    replayed-set) replay ;;
    # shellcheck disable=SC2086
    *) ctl -c "$n" ${request[$kind]} ;;
  esac
  callgrind_control -d "$kind" "$vg" >/dev/null 2>&1
  file[$kind]=$(ls -t "$work"/cg."$vg".* | head -1)
done

bin=$(readlink -f "$dir/src/tamo")
# Reads a callgrind file: the self cost of each function goes to a class by its object file (or
# to allocation by its name); the cost of the calls from the daemon's binary into lua_pcallk is
# the Lua side, less the argument conversion (cLuaConvert::pushArgument) that runs inside it.
summarise() {
  awk -v n="$n" -v bin="$bin" -v kind="$1" '
    # Compressed names: "(id) name" the first time, "(id)" after; objects and functions are
    # numbered apart.
    function name(kind, s,   id) {
      if (match(s, /^\([0-9]+\)/)) {
        id = kind substr(s, 1, RLENGTH); s = substr(s, RLENGTH + 2)
        if (s != "") names[id] = s; else s = names[id]
      }
      return s
    }
    function class(o, f) {
      if (f ~ /^(malloc|free|calloc|realloc|cfree|_int_malloc|_int_free|_int_realloc|malloc_consolidate|tcache_|unlink_chunk|operator new|operator delete)/) return "alloc"
      if (o == bin) return "own"
      if (o ~ /liblua/) return "lua"
      if (o ~ /libc\.so|libstdc\+\+|libgcc|libm\.so/) return "libc"
      if (o ~ /liblog4cpp/) return "log4cpp"
      return "other"
    }
    /^ob=/ { ob = name("o", substr($0, 4)); next }
    /^fn=/ { fn = name("f", substr($0, 4)); fob[fn] = ob; cls = class(ob, fn); cob = ob; next }
    /^cob=/ { cob = name("o", substr($0, 5)); next }
    /^cfn=/ { cfn = name("f", substr($0, 5)); next }
    /^calls=/ { incall = 1; next }
    /^[0-9+*-]/ {
      if (incall) {
        if (ob == bin && cfn == "lua_pcallk") inlua += $2
        if (cfn ~ /^cLuaConvert::pushArgument/) arg += $2
        incall = 0; cob = ob
      } else {
        sum[cls] += $2; total += $2
      }
    }
    END {
      printf "%-15s %8d %8d | %8d %8d %8d %8d %8d %8d\n", kind, total / n,
             (total - inlua + arg) / n, sum["own"] / n, sum["lua"] / n, sum["alloc"] / n,
             sum["libc"] / n, sum["log4cpp"] / n, sum["other"] / n
    }' "$2"
}
printf '%d requests of each kind, instructions per request (callgrind, user space)\n' "$n"
printf '%-15s %8s %8s | %8s %8s %8s %8s %8s %8s\n' kind total outside own lua alloc libc+std \
  log4cpp other
for kind in "${kinds[@]}"; do summarise "$kind" "${file[$kind]}"; done
for kind in "${kinds[@]}"; do cp "${file[$kind]}" "$dir/callgrind.$kind"; done
echo "callgrind files: $dir/callgrind.KIND (callgrind_annotate --inclusive=yes FILE)"
