#!/usr/bin/env bash
# Installs the Debian packages that building and testing need; skips what is already present.
# Run as root (or with sudo available). Safe to run again and again.
# usage: tools/install-deps.sh [--bench]   (--bench: also what `make bench` compares the emulated core with)
set -euo pipefail

packages=(
  make cmake ninja-build gcc g++                       # host build
  python3                                              # scenario generators
  python3-can                                          # the python-can example of docs/sitl.md, run by a test
  clang libclang-rt-14-dev                             # fuzzers (libFuzzer) and sanitizer runtimes
  clang-tidy cppcheck                                  # static analysis (make lint)
  gcovr                                                # coverage report (make coverage)
  libgtest-dev googletest libbenchmark-dev             # tests and benchmarks
  gcc-arm-none-eabi binutils-arm-none-eabi             # the chip's image
  libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib
  libunicorn-dev                                       # the emulated core's reference in the tests
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(qemu-system-arm)                          # the emulated core's speed against QEMU's (mps2-an386)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
