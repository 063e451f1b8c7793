#!/usr/bin/env bash
# The benchmark: for every edition this host can run, builds wrapper.exe with
# the full-size and the small sample kit, runs it under Wine in the edition's
# own private prefix against references measured in the same run, draws a
# timeline of one typical whole job, prints the table, and writes
# docs/benchmarks.md (with docs/timeline-EDITION.svg).
#   bench/run.sh [ROUNDS]      (default 5: about 4 minutes per edition; 15: about 9)
# Editions:
#   win32  the 32-bit wrapper with the i586 kit in a 32-bit prefix: only where
#          the kernel runs 32-bit programs natively (never through the
#          emulator; WRAPPER_I386=off or emulated skips it);
#          builds in build/bench-full and build/bench-small
#   win64  the native x64 wrapper with the amd64 kit in a 64-bit prefix: always;
#          builds in build/bench-win64-full and build/bench-win64-small
#   win-arm64  never: on an x86-64 host it runs only through qemu-aarch64,
#          whose timings are not the edition's (its section says so)
# Programs and prefix of an edition: build/bench/EDITION/{bin,prefix}. An edition
# not measured keeps its section of docs/benchmarks.md, marked as such.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rounds="${1:-5}"
# shellcheck source=scripts/configurations.sh
source scripts/configurations.sh

bash scripts/install-deps.sh

wrapper_probe_host
editions=()
report_args=()
# The 32-bit edition is measured only where the kernel runs it: timings taken
# through the emulator are QEMU's, not the edition's, so there the section of
# the last native run is kept.
if [ "$host_i386" = native ]; then
  editions+=(win32)
else
  why="$host_i386_reason"
  [ "$host_i386" = emulated ] &&
    why="32-bit programs run here only through an emulator, whose timings are not the edition's ($host_i386_reason)"
  report_args+=(--skipped "win32=$why")
fi
editions+=(win64)
# The arm64 edition runs here only through qemu-aarch64 (every instruction of
# Wine and of the program translated): those timings are QEMU's, so none are
# reported; measure it on an arm64 machine.
report_args+=(--skipped "win-arm64=arm64 programs run on this kind of host only through the emulator qemu-aarch64, whose timings are not the edition's")
echo "== editions measured: ${editions[*]}"
if [ "$host_i386" != native ]; then
  echo "== not measured: win32, because $why"
fi

# Builds EDITION's wrapper.exe with the full-size and the small kit.
build_wrapper() {
  local edition=$1 variant size dir
  for variant in full small; do
    size=OFF
    [ "$variant" = full ] && size=ON
    if [ "$edition" = win32 ]; then
      dir="build/bench-$variant"
      cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DWRAPPER_FULL_SIZE_KIT=$size \
        -DWRAPPER_KIT_DIR="$root/$dir/kit" >/dev/null
    else
      dir="build/bench-$edition-$variant"
      cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DWRAPPER_ARCH_TAG=amd64 -DWRAPPER_FULL_SIZE_KIT=$size \
        -DWRAPPER_KIT_DIR="$root/$dir/kit" >/dev/null
    fi
    cmake --build "$dir" --target wrapper -j2 >/dev/null
  done
}

measure_edition() {
  local edition=$1 build_prefix loader
  if [ "$edition" = win32 ]; then build_prefix=build/bench; else build_prefix="build/bench-$edition"; fi
  loader=$(wrapper_wine_loader "$edition")
  echo "== $edition: building wrapper.exe (full-size and small kit)"
  build_wrapper "$edition"
  bash bench/programs/build.sh "build/bench/$edition/bin" "$(wrapper_compiler "$edition")"

  bench_prefix="$root/build/bench/$edition/prefix"
  WINEARCH=$(wrapper_winearch "$edition")
  export WINEPREFIX="$bench_prefix" WINEARCH
  export WINEDEBUG=-all
  echo "== $edition: creating the Wine prefix $WINEPREFIX ($WINEARCH)"
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i >/dev/null 2>&1
  wineserver -w
  mkdir -p "$WINEPREFIX/drive_c/bench/standin"
  cp "build/bench/$edition/bin/launch.exe" "build/bench/$edition/bin/trivial.exe" \
    "build/bench/$edition/bin/signalled.exe" "$WINEPREFIX/drive_c/bench/"
  cp "build/bench/$edition/bin/msiexec.exe" "$WINEPREFIX/drive_c/bench/standin/"
  # A persistent wineserver (ended below, or by the trap), started with its
  # services before the first timed run: otherwise it exits 3 s after the last
  # program and the next run pays for a new one.
  wineserver -p
  "$loader" cmd /c exit >/dev/null 2>&1

  echo "== $edition: measuring"
  /usr/bin/python3 bench/bench.py measure --edition "$edition" --wine "$loader" \
    --full "$build_prefix-full/wrapper.exe" --small "$build_prefix-small/wrapper.exe" \
    --kit "$build_prefix-full/kit" --reps "$rounds" \
    --section "build/bench/$edition/section.md" --svg "docs/timeline-$edition.svg"
  wineserver -k 2>/dev/null || true
  report_args+=(--measured "$edition=build/bench/$edition/section.md")
}

bench_prefix=""
# Ends the wineserver of the prefix being measured, never another one.
trap 'if [ -n "$bench_prefix" ]; then WINEPREFIX="$bench_prefix" wineserver -k 2>/dev/null || true; fi' EXIT
for edition in "${editions[@]}"; do
  measure_edition "$edition"
done
/usr/bin/python3 bench/bench.py report --out docs/benchmarks.md "${report_args[@]}"
