#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests, the benchmarks and the
# fuzz targets need. Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  libudev-dev libpng-dev zlib1g-dev libpcsclite-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  clang libclang-rt-dev
  binutils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update
  $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
