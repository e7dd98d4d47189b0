#!/usr/bin/env bash
# Builds the Debian packages of each given build folder (configured with
# -DCMAKE_INSTALL_PREFIX=/usr) with cpack, checks them with dpkg-deb and lintian, and runs the
# machine's own architecture from the packages: both are unpacked into a temporary root, the
# daemon runs there under chroot with its settings, scripts and data inside that root, and the
# packaged tamoctl gets answers from it (one served by a script, one relayed from the packaged
# zeld-sim). The packaged systemd unit passes systemd-analyze verify and rates an exposure of at
# most 2.0 in systemd-analyze security, where systemd-analyze is installed; where systemd-nspawn
# is (systemd-container), systemd boots in a container and runs the daemon under that unit with
# all its restrictions, and tamoctl gets answers from it. Nothing is installed on the machine.
# Needs root (chroot, nspawn), dpkg-dev and lintian.
#   scripts/check-packages.sh out/host out/armhf
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$#" -gt 0 ] || { echo "usage: $0 BUILD_DIR..." >&2; exit 2; }
host_arch=$(dpkg --print-architecture)
problems=0
fail() { echo "FAIL: $*"; problems=$((problems + 1)); }

# Fails unless the text holds the line (a fixed string).
has() { grep -qF -- "$2" <<<"$1" || fail "$3 lacks: $2"; }

check_build() {
  local dir=$1 arch triplet daemon tools info contents deps
  echo "== packages of $dir"
  rm -f "$dir"/tamo*.deb
  if ! (cd "$dir" && cpack -G DEB >cpack.log 2>&1); then
    tail -n 30 "$dir/cpack.log"
    fail "cpack in $dir"
    return 0
  fi
  daemon=$(ls "$dir"/tamo_*.deb)
  tools=$(ls "$dir"/tamo-tools_*.deb)
  arch=$(dpkg-deb -f "$daemon" Architecture)
  triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH -a"$arch" 2>/dev/null)
  for deb in "$daemon" "$tools"; do
    printf '%s: %s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
  done

  info=$(dpkg-deb --info "$daemon")
  contents=$(dpkg-deb --contents "$daemon" | awk '{print $6}')
  deps=$(dpkg-deb -f "$daemon" Depends)
  echo "tamo Depends: $deps"
  has "$info" "Package: tamo" "$daemon"
  for f in ./usr/sbin/tamo ./etc/zel/tamo.conf ./usr/lib/systemd/system/tamo.service \
    ./usr/share/lua/qelm/system.lua ./usr/share/lua/qelm/tamo_store.lua \
    ./usr/share/doc/tamo/copyright; do
    has "$contents" "$f" "$daemon"
  done
  has "$(dpkg-deb --ctrl-tarfile "$daemon" | tar -xO ./conffiles)" "/etc/zel/tamo.conf" \
    "conffiles of $daemon"
  has "$deps" "liblua5.3-0" "Depends of $daemon"
  has "$deps" "liblog4cpp5v5" "Depends of $daemon"
  # libsystemd0 exactly when the daemon links libsystemd.
  local tmp
  tmp=$(mktemp -d)
  dpkg-deb -x "$daemon" "$tmp"
  if LC_ALL=C readelf -d "$tmp/usr/sbin/tamo" | grep -q 'NEEDED.*libsystemd'; then
    has "$deps" "libsystemd0" "Depends of $daemon"
  elif grep -q libsystemd0 <<<"$deps"; then
    fail "$daemon depends on libsystemd0 but the daemon does not link it"
  fi
  rm -rf "$tmp"

  contents=$(dpkg-deb --contents "$tools" | awk '{print $6}')
  has "$(dpkg-deb -f "$tools" Package)" "tamo-tools" "$tools"
  for f in ./usr/bin/tamoctl ./usr/bin/zeld-sim \
    "./usr/lib/$triplet/wireshark/plugins/quorrel.lua" ./usr/share/doc/tamo-tools/copyright; do
    has "$contents" "$f" "$tools"
  done

  echo "-- lintian $(basename "$daemon") $(basename "$tools")"
  local out
  out=$(lintian "$daemon" "$tools" 2>&1 | grep -v 'running with root privileges' || true)
  echo "${out:-no remarks}"
  if grep -q '^E:' <<<"$out"; then
    fail "lintian reports errors"
  fi
  check_unit "$daemon"
  if [ "$arch" = "$host_arch" ] && [ "$(id -u)" -ne 0 ]; then
    echo "-- not run from an unpacked root: chroot needs root"
  elif [ "$arch" = "$host_arch" ]; then
    run_unpacked "$daemon" "$tools" "$triplet"
    run_under_unit "$daemon" "$tools"
  fi
}

# The unit of the daemon's package, unpacked beside this machine's own units, which verify needs
# to resolve its dependencies. verify only warns of unknown or malformed settings, so any line it
# prints fails.
check_unit() {
  local daemon=$1 root out level dir
  if ! command -v systemd-analyze >/dev/null; then
    echo "-- unit not checked: systemd-analyze is not installed"
    return 0
  fi
  root=$(mktemp -d)
  dpkg-deb -x "$daemon" "$root"
  for dir in /lib/systemd/system /usr/lib/systemd/system; do
    [ -d "$dir" ] && cp -an "$dir/." "$root/usr/lib/systemd/system/"
  done
  echo "-- systemd-analyze verify tamo.service"
  if ! out=$(systemd-analyze verify --root="$root" tamo.service 2>&1) || [ -n "$out" ]; then
    echo "$out"
    fail "systemd-analyze verify of the unit in $daemon"
  fi
  level=$(systemd-analyze security --offline=true "$root/usr/lib/systemd/system/tamo.service" \
    2>&1 | grep 'Overall exposure level' || true)
  echo "${level:-no exposure level}"
  level=$(sed -n 's/.*: \([0-9][0-9.]*\) .*/\1/p' <<<"$level")
  if [ -z "$level" ] || ! awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'; then
    fail "exposure of the unit in $daemon is ${level:-unknown}, above 2.0"
  fi
  rm -rf "$root"
}

# The packages unpacked into a temporary root and run from there.
run_unpacked() {
  local daemon=$1 tools=$2 triplet=$3 root pid="" sim="" lib
  root=$(mktemp -d)
  dpkg-deb -x "$daemon" "$root"
  dpkg-deb -x "$tools" "$root"
  # The daemon's shared libraries and the loader, copied from this machine to the same paths.
  for lib in $(ldd "$root/usr/sbin/tamo" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
  mkdir -p "$root/var/lib/tamo" "$root/tmp"
  local broker=$((20000 + RANDOM % 10000)) north
  north=$((broker + 1))
  # The packaged sample settings with test ports; the compiled-in paths /etc/zel/tamo.conf and
  # /usr/share/lua/qelm are those inside the root.
  sed -i -e "s/^tamo.broker.port = .*/tamo.broker.port = $broker/" \
    -e "s/^tamo.north.port = .*/tamo.north.port = $north/" \
    -e "s/^tamo.north.host = .*/tamo.north.host = 127.0.0.1/" "$root/etc/zel/tamo.conf"
  echo "-- daemon from the unpacked package in $root, port $broker"
  TAMO_DATA_DIR=/var/lib/tamo chroot "$root" /usr/sbin/tamo >"$root/tamo.log" 2>&1 &
  pid=$!
  "$root/usr/bin/zeld-sim" -b 127.0.0.1 -p "$north" >"$root/zeld-sim.log" 2>&1 &
  sim=$!
  local ctl=("$root/usr/bin/tamoctl" -p "$broker" -t 0.5) reply="" i
  for i in $(seq 20); do
    if reply=$("${ctl[@]}" get system 2>&1); then
      break
    fi
    sleep 0.25
  done
  echo "$reply"
  has "$reply" "system (32)" "tamoctl get system"
  "${ctl[@]}" set system.location=packaged >/dev/null || fail "tamoctl set system.location"
  has "$("${ctl[@]}" get system.location 2>&1)" '"packaged"' "tamoctl get after set"
  [ -s "$root/var/lib/tamo/system.conf" ] || fail "the script saved nothing under $root/var/lib/tamo"
  reply=$("${ctl[@]}" -t 2 get system.hostname ntp.server 2>&1) || true
  echo "$reply"
  has "$reply" '"sim ntp.server"' "tamoctl get relayed from zeld-sim"
  if command -v tshark >/dev/null; then
    local plugins
    plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
    [ -f "$root$plugins/quorrel.lua" ] || fail "the dissector is not in tshark's folder $plugins"
    tshark -G protocols -X lua_script:"$root$plugins/quorrel.lua" 2>/dev/null |
      grep -q $'\tquorrel$' || fail "tshark does not load the packaged dissector"
  fi
  kill "$pid" "$sim" 2>/dev/null || true
  wait "$pid" "$sim" 2>/dev/null || true
  if [ "$problems" -gt 0 ]; then
    tail -n 20 "$root/tamo.log"
  fi
  rm -rf "$root"
}

# The packaged unit run by systemd itself: a container boots the machine's own /usr with the
# packages laid over it and a default target that wants only tamo.service, so the daemon runs with
# the unit's dynamic user, system-call filter and the rest; it shares the machine's network, so
# tamoctl reaches it from outside.
run_under_unit() {
  local daemon=$1 tools=$2 pkg root log broker north timer init="" sim="" reply="" i
  local before=$problems
  if ! command -v systemd-nspawn >/dev/null; then
    echo "-- not run under its unit: systemd-nspawn is not installed (systemd-container)"
    return 0
  fi
  if [ ! -L /bin ] || [ ! -L /lib ]; then
    echo "-- not run under its unit: the container needs a merged /usr"
    return 0
  fi
  pkg=$(mktemp -d)
  root=$(mktemp -d)
  log=$(mktemp)
  dpkg-deb -x "$daemon" "$pkg"
  dpkg-deb -x "$tools" "$pkg"
  # The container's / as a mktemp folder would be closed to the service's user.
  chmod 755 "$root"
  mkdir -p "$root/usr" "$root/etc/systemd/system"
  for i in bin lib lib32 lib64 sbin; do
    if [ -L "/$i" ]; then ln -s "$(readlink "/$i")" "$root/$i"; fi
  done
  cp -a "$pkg/etc/." "$root/etc/"
  cp /usr/lib/os-release "$root/etc/os-release"
  cp /etc/passwd /etc/group "$root/etc/"
  : >"$root/etc/machine-id"
  printf '[Unit]\nDescription=tamo alone\nWants=tamo.service\n' \
    >"$root/etc/systemd/system/tamo-check.target"
  ln -s tamo-check.target "$root/etc/systemd/system/default.target"
  broker=$((20000 + RANDOM % 10000))
  north=$((broker + 1))
  sed -i -e "s/^tamo.broker.port = .*/tamo.broker.port = $broker/" \
    -e "s/^tamo.north.port = .*/tamo.north.port = $north/" \
    -e "s/^tamo.north.host = .*/tamo.north.host = 127.0.0.1/" "$root/etc/zel/tamo.conf"
  echo "-- daemon under its unit in a container, port $broker"
  timeout 180 systemd-nspawn -q -b -D "$root" --register=no --keep-unit --console=passive \
    --overlay-ro="/usr:$pkg/usr:/usr" >"$log" 2>&1 &
  timer=$!
  "$pkg/usr/bin/zeld-sim" -b 127.0.0.1 -p "$north" >/dev/null 2>&1 &
  sim=$!
  local ctl=("$pkg/usr/bin/tamoctl" -p "$broker" -t 0.5)
  for i in $(seq 120); do
    if reply=$("${ctl[@]}" get system.location 2>&1); then
      break
    fi
    sleep 0.5
  done
  has "$reply" "system (32)" "tamoctl get system under the unit"
  "${ctl[@]}" set system.location=confined >/dev/null || fail "tamoctl set under the unit"
  has "$("${ctl[@]}" get system.location 2>&1)" '"confined"' "tamoctl get after set under the unit"
  [ "$(stat -c %a "$root/var/lib/private/tamo/system.conf" 2>&1)" = 600 ] ||
    fail "no system.conf of mode 600 (UMask=0077) in the unit's state folder"
  has "$("${ctl[@]}" -t 2 get ntp.server system.hostname 2>&1)" '"sim ntp.server"' \
    "tamoctl get relayed from zeld-sim under the unit"
  init=$(pgrep -P "$(pgrep -P "$timer" -x systemd-nspawn)" -x systemd || true)
  if [ -n "$init" ]; then
    # The main process's own view: no capabilities, a system-call filter. Its PID is the
    # container's, so the command line is expanded there.
    # shellcheck disable=SC2016
    reply=$(nsenter -t "$init" -a sh -c \
      'grep -E "^(CapEff|Seccomp):" /proc/$(systemctl show -p MainPID --value tamo)/status') ||
      true
    echo "$reply" | tr '\n' ' ' | sed 's/[[:space:]]\+/ /g'
    echo
    has "$reply" $'Seccomp:\t2' "the daemon's status under the unit"
    has "$reply" $'CapEff:\t0000000000000000' "the daemon's status under the unit"
    if [ "$problems" -gt "$before" ]; then
      nsenter -t "$init" -a journalctl -u tamo --no-pager | tail -n 20
    fi
    nsenter -t "$init" -a systemctl poweroff 2>/dev/null || kill "$timer"
  else
    fail "no systemd in the container"
    tail -n 20 "$log"
    kill "$timer" 2>/dev/null || true
  fi
  kill "$sim" 2>/dev/null || true
  wait "$timer" "$sim" 2>/dev/null || true
  rm -rf "$pkg" "$root" "$log"
}

for dir in "$@"; do
  check_build "$dir"
done
if [ "$problems" -gt 0 ]; then
  echo "packages: $problems problem(s)"
  exit 1
fi
echo "packages: all checks passed"
