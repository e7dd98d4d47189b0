#!/usr/bin/env bash
# Installs the Debian packages tamo needs to build, test and cross-build.
# Idempotent and quiet when everything is already there.
#   scripts/install-deps.sh            host build, tests, benchmarks
#   scripts/install-deps.sh --cross    also the armhf cross toolchain, armhf libraries and qemu
#   scripts/install-deps.sh --fuzz     also clang's sanitizer and fuzzer runtimes
#   scripts/install-deps.sh --checks   also tshark (dissector test), lintian and dpkg-dev (packages),
#                                      systemd-container (the unit run by systemd-nspawn)
set -euo pipefail

want_cross=0
want_fuzz=0
want_checks=0
for arg in "$@"; do
  case "$arg" in
    --cross) want_cross=1 ;;
    --fuzz) want_fuzz=1 ;;
    --checks) want_checks=1 ;;
    *) echo "usage: $0 [--cross] [--fuzz] [--checks]" >&2; exit 2 ;;
  esac
done

host_pkgs=(build-essential cmake pkg-config liblua5.3-dev liblog4cpp5-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format lua5.3 lua-cjson libsystemd-dev strace
  valgrind)
cross_pkgs=(crossbuild-essential-armhf qemu-user
  liblua5.3-dev:armhf liblog4cpp5v5:armhf libgtest-dev:armhf libgmock-dev:armhf
  lua-cjson:armhf libsystemd-dev:armhf)
# liblog4cpp5-dev cannot be installed for two architectures at once: its armhf copy is unpacked
# into this folder, which cmake/armhf-toolchain.cmake reads.
armhf_sysroot=/opt/tamo-armhf
fuzz_pkgs=(clang libclang-rt-14-dev)
check_pkgs=(tshark lintian dpkg-dev systemd-container)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

pkgs=("${host_pkgs[@]}")
if [ "$want_fuzz" = 1 ]; then pkgs+=("${fuzz_pkgs[@]}"); fi
if [ "$want_checks" = 1 ]; then pkgs+=("${check_pkgs[@]}"); fi
if [ "$want_cross" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    "${sudo_cmd[@]}" dpkg --add-architecture armhf
  fi
  pkgs+=("${cross_pkgs[@]}")
fi

export DEBIAN_FRONTEND=noninteractive
updated=0
apt_update() {
  if [ "$updated" = 0 ]; then
    "${sudo_cmd[@]}" apt-get update -qq
    updated=1
  fi
}

mapfile -t todo < <(missing "${pkgs[@]}")
if [ "${#todo[@]}" -gt 0 ]; then
  echo "installing: ${todo[*]}"
  # tshark's package asks whether non-root users may capture; they may not.
  if [[ " ${todo[*]} " == *" tshark "* ]]; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
      "${sudo_cmd[@]}" debconf-set-selections
  fi
  apt_update
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${todo[@]}" >/dev/null
fi

if [ "$want_cross" = 1 ] && [ ! -f "$armhf_sysroot/usr/include/log4cpp/Category.hh" ]; then
  echo "unpacking liblog4cpp5-dev:armhf into $armhf_sysroot"
  apt_update
  tmp=$(mktemp -d)
  chmod 755 "$tmp"
  (cd "$tmp" && apt-get download -q liblog4cpp5-dev:armhf >/dev/null)
  "${sudo_cmd[@]}" mkdir -p "$armhf_sysroot"
  "${sudo_cmd[@]}" dpkg -x "$tmp"/liblog4cpp5-dev_*_armhf.deb "$armhf_sysroot"
  rm -rf "$tmp"
fi
