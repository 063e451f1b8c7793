#!/usr/bin/env bash
# Installs everything the build, the sample kit and the tests need, from Debian's packages.
#   bash scripts/install-deps.sh [--main-job]
# --main-job sets up only what the main job runs (scripts/install-kit.sh): the
# x86 builds, the sample kit and Wine, with qemu-i386 where the host needs it;
# no test tools and no arm64 root.
# Safe to run again: apt skips what is already there. Where the kernel refuses
# 32-bit programs, QEMU's qemu-i386 is fetched into the cache (never installed;
# scripts/configurations.sh) so that 32-bit Wine runs through it. 32-bit Wine
# is installed unless the host can run 32-bit programs neither way (or
# WRAPPER_I386=off): only the 64-bit configuration runs there. On x86-64
# hosts qemu-aarch64 comes with it, and an arm64 Debian root with Debian's
# arm64 Wine is made once into the cache (scripts/make-arm64-root.sh, about
# 4 minutes and 600 MB) for the win-arm64 configuration (WRAPPER_ARM64=off
# leaves it out).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configurations.sh
main_job=0
[ "${1:-}" = --main-job ] && main_job=1
wrapper_probe_host
if [ "$(uname -m)" = x86_64 ] && [ "${WRAPPER_ARM64:-}" != off ] && [ "$main_job" = 0 ] ||
   [ "$host_i386_needs_emulator" = 1 ]; then
  wrapper_fetch_qemu && wrapper_probe_host || true
fi

packages=(
  cmake make
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  msitools wixl gcab
  python3 python3-olefile python3-gi gir1.2-gsf-1
)
if [ "$main_job" = 0 ]; then
  packages+=(
    g++ ninja-build googletest libgtest-dev clang libclang-rt-14-dev
    lld llvm debootstrap
    xvfb xdotool imagemagick icoutils
    python3-pefile
    locales
    osslsigncode openssl
    gcovr
  )
fi
if [ "$host_runs_i386" = 1 ]; then
  packages+=(wine32:i386)
fi

need_install=0
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || { need_install=1; break; }
done
if [ "$need_install" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if [ "$host_runs_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${packages[@]}"
fi

[ "$main_job" = 1 ] && exit 0
# The arm64 root for win-arm64 (once per machine): a failure leaves that
# configuration out, with its reason, and the others run.
wrapper_probe_arm64
if [ "$host_arm64_needs_root" = 1 ]; then
  bash scripts/make-arm64-root.sh || echo "the arm64 root could not be made: win-arm64 will not run" >&2
fi
