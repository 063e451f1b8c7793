#!/usr/bin/env bash
# How far each edition scales with the size of the kit: for each payload size,
# builds wrapper.exe over the sample kit's package and eight cabinets of
# random bytes (the build's own limit lifted, so sizes above it are tried
# too), starts it under Wine with the recording stand-in installer, checks
# that the staged files are the embedded ones, and measures the build's time,
# the cabinets' throughput against dd and the process's private memory.
# Writes the table into docs/benchmarks.md (between the scaling markers).
#   bench/scaling.sh [MiB ...]   (default: 256 1024 1600 1920 2048 3072)
# Editions: win32 where the kernel runs 32-bit programs natively (through the
# emulator its address space is QEMU's, not the edition's), win64 always.
# Needs about three times the largest payload of free disk in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(256 1024 1600 1920 2048 3072)
# shellcheck source=scripts/configurations.sh
source scripts/configurations.sh

bash scripts/install-deps.sh
wrapper_probe_host
editions=(win64)
skipped=""
if [ "$host_i386" = native ]; then
  editions=(win32 win64)
else
  skipped="win32: not measured, because 32-bit programs do not run natively here ($host_i386_reason)"
  echo "== $skipped"
fi

work="$root/build/scaling"
rows="$work/rows.txt"
mkdir -p "$work"
: >"$rows"
prefix=""
trap 'if [ -n "$prefix" ]; then WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; fi' EXIT

for edition in "${editions[@]}"; do
  loader=$(wrapper_wine_loader "$edition")
  echo "== $edition: the sample kit's package, the programs and a prefix"
  cmake --preset "$edition" -B "$work/$edition-sample" >/dev/null
  cmake --build "$work/$edition-sample" --target kit -j2 >/dev/null
  bash bench/programs/build.sh "$work/$edition/bin" "$(wrapper_compiler "$edition")"
  prefix="$work/$edition/prefix"
  export WINEPREFIX="$prefix" WINEARCH=$(wrapper_winearch "$edition") WINEDEBUG=-all
  rm -rf "$prefix"
  mkdir -p "$prefix"
  WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i >/dev/null 2>&1
  wineserver -w
  mkdir -p "$prefix/drive_c/bench/standin"
  cp "$work/$edition/bin/launch.exe" "$prefix/drive_c/bench/"
  cp "$work/$edition/bin/msiexec.exe" "$prefix/drive_c/bench/standin/"
  # A persistent server with its services started before the first run, so
  # that no service holds a pipe of the measurement open.
  wineserver -p
  "$loader" cmd /c exit >/dev/null 2>&1
  for mib in "${sizes[@]}"; do
    kit="$work/kit"
    build="$work/$edition-build"
    rm -rf "$kit" "$build"
    mkdir -p "$kit"
    cp "$work/$edition-sample/kit/tpz1.6.0_13.msi" "$kit/"
    # One cabinet of random bytes, the other seven its hard links: the
    # staging writes and verifies each in full all the same.
    head -c $((mib * 1048576 / 8)) /dev/urandom >"$kit/sd160130.cab"
    for cab in ss160130 st160130 sj160130 sp160130 sz160130 sb160130 sr160130; do
      ln "$kit/sd160130.cab" "$kit/$cab.cab"
    done
    echo "== $edition, $mib MiB: building"
    started=$(date +%s.%N)
    built=yes
    { cmake --preset "$edition" -B "$build" -DWRAPPER_BUILD_KIT=OFF -DWRAPPER_KIT_DIR="$kit" \
        -DWRAPPER_PAYLOAD_LIMIT=$((1 << 40)) >/dev/null &&
      cmake --build "$build" --target wrapper -j2 >"$work/build.log" 2>&1; } || built=no
    seconds=$(echo "$(date +%s.%N) - $started" | bc)
    if [ "$built" = no ]; then
      tail -n 5 "$work/build.log"
      echo "$edition $mib no $seconds 0 -" >>"$rows"
    else
      echo "== $edition, $mib MiB: starting under Wine"
      /usr/bin/python3 bench/scaling.py measure --edition "$edition" --wine "$loader" \
        --exe "$build/wrapper.exe" --kit "$kit" --mib "$mib" --build-seconds "$seconds" >>"$rows"
      tail -n 1 "$rows"
    fi
    rm -rf "$kit" "$build"
  done
  wineserver -k 2>/dev/null || true
  prefix=""
done
/usr/bin/python3 bench/scaling.py report --rows "$rows" --doc docs/benchmarks.md --skipped "$skipped" \
  --wine /usr/lib/wine/wine64
