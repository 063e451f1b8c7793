#!/usr/bin/env bash
# A C compiler for small arm64 Windows test programs, used like mingw's gcc:
#   cc.sh [-mwindows] [-shared] [gcc options] -o OUT SOURCES... [-lNAME...]
# clang and lld over the system's ucrtbase.dll (crt_arm64.c, and
# crt_console.c or crt_gui.c to start the program); import libraries come from import_libs.py, made once into
# $WRAPPER_ARM64_TEST_LIBS (default: a folder of the cache).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
libs="${WRAPPER_ARM64_TEST_LIBS:-${XDG_CACHE_HOME:-$HOME/.cache}/wrapper/arm64-test-libs}"
if [ ! -f "$libs/libmsi.a" ]; then
  /usr/bin/python3 "$here/import_libs.py" "$libs.new.$$"
  rm -rf "$libs" && mv "$libs.new.$$" "$libs"
fi
entry=mainCRTStartup start="$here/crt_console.c" runtime=("$here/crt_arm64.c")
args=()
shared=0
for a in "$@"; do
  case "$a" in
    -mwindows) entry=WinMainCRTStartup start="$here/crt_gui.c" ;;
    -shared) shared=1 ;;
    -static|-static-libgcc|-s) ;;
    *) args+=("$a") ;;
  esac
done
[ "$shared" = 1 ] || runtime+=("$start")
exec clang --target=aarch64-w64-windows-gnu -isystem /usr/share/mingw-w64/include \
  -D_UCRT -D__MSVCRT_VERSION__=0xE00 -mno-stack-arg-probe -fuse-ld=lld -nostdlib \
  -Wl,-e,"$entry" -Wl,--no-insert-timestamp "${runtime[@]}" "${args[@]}" \
  -L"$libs" -lucrtbase -lkernel32 -luser32 -ladvapi32
