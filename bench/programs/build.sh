#!/usr/bin/env bash
# Builds the benchmark's Windows programs into OUTDIR with the given mingw-w64
# C compiler (default i686-w64-mingw32-gcc; x86_64-w64-mingw32-gcc for the
# x64 edition).
#   bench/programs/build.sh OUTDIR [COMPILER]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$1"
cc="${2:-i686-w64-mingw32-gcc}"
# x86 symbols carry a leading underscore, x86-64 ones do not.
case "$cc" in
  x86_64-*) entry=TrivialStartup ;;
  *) entry=_TrivialStartup ;;
esac
mkdir -p "$out"
$cc -O2 -Wall -Wextra -static -s -o "$out/launch.exe" "$here/launch.c"
$cc -O2 -Wall -Wextra -static -s -mwindows -o "$out/msiexec.exe" "$here/standin.c" -lpsapi
# Built like the wrapper: no C runtime, 4096-byte file alignment, and only
# kernel32, user32 and advapi32 imported.
$cc -O2 -Wall -Wextra -s -mwindows -nostdlib -nostartfiles \
  -Wl,-e,$entry -Wl,--file-alignment,4096 -Wl,--section-alignment,4096 \
  -o "$out/trivial.exe" "$here/trivial.c" -lkernel32 -luser32 -ladvapi32
$cc -O2 -Wall -Wextra -static -s -mwindows -o "$out/signalled.exe" "$here/signalled.c"
