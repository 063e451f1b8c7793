#!/usr/bin/env bash
# The benchmark: builds wrapper.exe with the full-size and the small sample
# kit, runs it under Wine in a private 32-bit prefix against references
# measured in the same run, prints the table and writes docs/benchmarks.md.
#   bench/run.sh [ROUNDS]      (default 5; about 3 minutes)
# Build directories: build/bench-full, build/bench-small, build/bench (programs, prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rounds="${1:-5}"

bash scripts/install-deps.sh

echo "== building wrapper.exe (full-size and small kit)"
for variant in full small; do
  size=OFF
  [ "$variant" = full ] && size=ON
  cmake --no-warn-unused-cli -S . -B "build/bench-$variant" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DWRAPPER_FULL_SIZE_KIT=$size \
    -DWRAPPER_KIT_DIR="$root/build/bench-$variant/kit" >/dev/null
  cmake --build "build/bench-$variant" --target wrapper -j2 >/dev/null
done
bash bench/programs/build.sh build/bench/bin

export WINEPREFIX="$root/build/bench/prefix" WINEARCH=win32 WINEDEBUG=-all
echo "== creating the Wine prefix $WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wineserver -w
mkdir -p "$WINEPREFIX/drive_c/bench/standin"
cp build/bench/bin/launch.exe build/bench/bin/trivial.exe build/bench/bin/signalled.exe \
  "$WINEPREFIX/drive_c/bench/"
cp build/bench/bin/msiexec.exe "$WINEPREFIX/drive_c/bench/standin/"
# A persistent wineserver (ended by the trap), started with its services
# before the first timed run: otherwise it exits 3 s after the last program
# and the next run pays for a new one.
wineserver -p
wine cmd /c exit >/dev/null 2>&1

/usr/bin/python3 bench/bench.py --full build/bench-full/wrapper.exe \
  --small build/bench-small/wrapper.exe --kit build/bench-full/kit \
  --reps "$rounds" --out docs/benchmarks.md
