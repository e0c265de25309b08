#!/bin/sh
# Installs the Debian packages that building sgmatch needs (and, with "test", those its tests need),
# skipping what is installed already; uses sudo when not run as root. Usage:
#   scripts/install-dependencies.sh [build|test|ci]
set -eu
set -- "${1:-build}"
packages="cmake g++ make nlohmann-json3-dev libnauty2-dev"
case "$1" in
  build) ;;
  test) packages="$packages ninja-build libgtest-dev libopenmpi-dev openmpi-bin" ;;
  ci) packages="$packages ninja-build libgtest-dev libopenmpi-dev openmpi-bin libbenchmark-dev python3 clang libclang-rt-14-dev g++-aarch64-linux-gnu" ;;
  *) echo "usage: $0 [build|test|ci]" >&2; exit 2 ;;
esac
missing=""
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "installing:$missing" >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
