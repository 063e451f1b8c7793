#!/usr/bin/env bash
# Builds the benchmark's Windows programs into OUTDIR.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$1"
mkdir -p "$out"
cc=i686-w64-mingw32-gcc
$cc -O2 -Wall -Wextra -static -s -o "$out/launch.exe" "$here/launch.c"
$cc -O2 -Wall -Wextra -static -s -mwindows -o "$out/msiexec.exe" "$here/standin.c" -lpsapi
$cc -O2 -Wall -Wextra -s -mwindows -nostdlib -nostartfiles -Wl,-e,_TrivialStartup \
  -Wl,--file-alignment,4096 -Wl,--section-alignment,4096 \
  -o "$out/trivial.exe" "$here/trivial.c" -lkernel32 -luser32 -ladvapi32
$cc -O2 -Wall -Wextra -static -s -mwindows -o "$out/signalled.exe" "$here/signalled.c"
