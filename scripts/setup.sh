#!/usr/bin/env bash
# Installs what building and testing need, from Debian's archive, when it is missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
          g++-mingw-w64-i686 mtools dosfstools)
# The fuzz targets are built with clang and its libFuzzer and sanitizer runtimes.
packages+=(clang-14 libclang-rt-14-dev)
# The tests on ARM: the cross compiler, user-mode emulator and GoogleTest's sources (built with the
# cross compiler) of the arm32 preset, the bare-metal compiler and the emulated board of the board
# test. Their recommendations (a desktop front end for QEMU among them) are not needed.
arm_packages=(g++-arm-linux-gnueabi qemu-user googletest gcc-arm-none-eabi qemu-system-arm)

missing() {
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
  done
}

install() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${updated:-}" ]; then
    $sudo apt-get update -qq || true
    updated=1
  fi
  $sudo apt-get install -y -qq "$@"
}

mapfile -t missing_packages < <(missing "${packages[@]}")
if ((${#missing_packages[@]})); then
  echo "setup: installing ${missing_packages[*]}"
  install "${missing_packages[@]}"
fi
mapfile -t missing_arm < <(missing "${arm_packages[@]}")
if ((${#missing_arm[@]})); then
  echo "setup: installing ${missing_arm[*]}"
  install --no-install-recommends "${missing_arm[@]}"
fi
