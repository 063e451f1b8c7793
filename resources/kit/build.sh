#!/usr/bin/env bash
# Builds the sample kit into OUTDIR: tpz1.6.0_13.msi and its eight cabinets.
#   bash resources/kit/build.sh OUTDIR [--full-size]
# Intermediate files go to OUTDIR/work.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
usage() { echo "usage: $0 OUTDIR [--full-size]" >&2; exit 2; }

outdir=""
full=()
for arg in "$@"; do
  case "$arg" in
    --full-size) full=(--full-size) ;;
    -*) usage ;;
    *) [ -z "$outdir" ] || usage; outdir="$arg" ;;
  esac
done
[ -n "$outdir" ] || usage

mkdir -p "$outdir/work"
work="$(cd "$outdir/work" && pwd)"

# The custom action DLL: undecorated exports from the .def file; no
# timestamp and a fixed image base (the automatic one hashes the output
# path) so that rebuilds give the same bytes; libgcc linked in so that only
# system DLLs are imported.
i686-w64-mingw32-gcc -shared -O2 -Wall -Wextra -s \
  -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base -Wl,--enable-stdcall-fixup \
  -o "$work/kitca.dll" "$here/kitca.c" "$here/kitca.def" -lmsi -static-libgcc

# No __pycache__ in the source tree.
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$here/kitbuild.py" "$outdir" --ca-dll "$work/kitca.dll" "${full[@]}"
