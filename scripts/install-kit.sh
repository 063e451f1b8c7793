#!/usr/bin/env bash
# The main job: builds the sample kit and wrapper.exe, runs `wrapper.exe /s`
# under Wine in a private prefix (build/demo/CONFIG, never ~/.wine) with the
# system's real msiexec, and shows what it installed.
#
# This is the 32-bit wrapper with the i586 kit (configuration win32), the kit's
# primary product, wherever 32-bit Wine runs: natively, or through qemu-i386
# in a private namespace where the kernel refuses 32-bit programs
# (scripts/configurations.sh). Where it runs neither way, or with
# WRAPPER_I386=off, it is the native x64 edition with the amd64 kit (win64).
# The part under Wine is scripts/show-install.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configurations.sh

bash scripts/install-deps.sh --main-job
wrapper_probe_host
if [ "$host_i386" = native ]; then
  config=win32
  echo "== configuration win32: the 32-bit wrapper with the i586 kit ($host_i386_reason)"
elif [ "$host_i386" = emulated ]; then
  config=win32
  echo "== configuration win32: the 32-bit wrapper with the i586 kit, run through the emulator ($host_i386_reason)"
else
  config=win64
  echo "== configuration win64: the native x64 edition with the amd64 kit, because $host_i386_reason"
fi
cmake --preset "$config" >/dev/null
cmake --build --preset "$config"

wrapper_run_config "$config" bash scripts/show-install.sh "$config"
