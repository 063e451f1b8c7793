#!/usr/bin/env bash
# Builds the sample kit into OUTDIR: tpz1.6.0_13.msi and its eight cabinets.
#   bash resources/kit/build.sh OUTDIR [--full-size] [--arch i586|amd64|arm64]
# i586 (the default) is the x86 package with a 32-bit custom action DLL,
# amd64 the x64 package with a 64-bit one, arm64 the Arm64 package with an
# arm64 one (clang and lld). Intermediate files go to OUTDIR/work.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
usage() { echo "usage: $0 OUTDIR [--full-size] [--arch i586|amd64|arm64]" >&2; exit 2; }

outdir=""
full=()
arch=i586
while [ $# -gt 0 ]; do
  case "$1" in
    --full-size) full=(--full-size) ;;
    --arch) [ $# -ge 2 ] || usage; arch="$2"; shift ;;
    --arch=*) arch="${1#--arch=}" ;;
    -*) usage ;;
    *) [ -z "$outdir" ] || usage; outdir="$1" ;;
  esac
  shift
done
[ -n "$outdir" ] || usage
case "$arch" in i586|amd64|arm64) ;; *) usage ;; esac

# The custom action DLL: undecorated exports from the .def file; no
# timestamp and a fixed image base (the automatic one hashes the output
# path) so that rebuilds give the same bytes; on x86 and x64 libgcc linked in
# so that only system DLLs are imported. x86 exports name the stdcall-decorated symbols
# (Name = Name@4); x64 and arm64 have no such decoration. arm64 has no C
# runtime or import libraries here: the DLL starts at DllMain, brings its own
# memcpy and links import libraries made from cmake/arm64-imports/*.def.
mkdir -p "$outdir/work"
work="$(cd "$outdir/work" && pwd)"
sources=("$here/kitca.c")
case "$arch" in
  i586) cc=(i686-w64-mingw32-gcc) def=kitca.def
        link=("-Wl,--disable-auto-image-base" "-Wl,--enable-stdcall-fixup")
        libs=(-lmsi -static-libgcc) ;;
  amd64) cc=(x86_64-w64-mingw32-gcc) def=kitca64.def
         link=("-Wl,--image-base,0x180000000")
         libs=(-lmsi -static-libgcc) ;;
  arm64) cc=(clang --target=aarch64-w64-windows-gnu -isystem /usr/share/mingw-w64/include -fuse-ld=lld)
         def=kitca64.def
         link=(-nostdlib "-Wl,--entry,DllMain" "-Wl,--image-base,0x180000000")
         sources+=("$here/kitca_nocrt.c")
         libs=()
         for name in msi kernel32 advapi32 user32; do
           llvm-dlltool -m arm64 -d "$here/../../cmake/arm64-imports/$name.def" -l "$work/lib$name.a"
           libs+=("$work/lib$name.a")
         done ;;
esac

"${cc[@]}" -shared -O2 -Wall -Wextra -s -Wl,--no-insert-timestamp "${link[@]}" \
  -o "$work/kitca.dll" "${sources[@]}" "$here/$def" "${libs[@]}"

# No __pycache__ in the source tree.
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$here/kitbuild.py" "$outdir" --ca-dll "$work/kitca.dll" \
  --arch "$arch" "${full[@]}"
