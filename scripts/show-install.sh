#!/usr/bin/env bash
# The part of the main job under Wine: runs `wrapper.exe /s` of a built
# configuration in a private prefix (build/demo/CONFIG, never ~/.wine) with
# the system's real msiexec, and shows what it installed.
#   scripts/show-install.sh CONFIG
# scripts/install-kit.sh builds the configuration and starts this where the
# configuration's Wine runs (inside the emulator's namespace for a 32-bit
# configuration on a host whose kernel refuses 32-bit programs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/configurations.sh
config="$1"
wine_loader=$(wrapper_wine_loader "$config")

export WINEPREFIX="$root/build/demo/$config" WINEARCH=$(wrapper_winearch "$config") WINEDEBUG=-all
# No Mono or Gecko downloads: the kit needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix $WINEPREFIX ($WINEARCH)"
  mkdir -p "$WINEPREFIX"
  if ! "$(wrapper_boot_loader "$config")" wineboot -i >/dev/null 2>&1; then
    echo "wineboot failed for $WINEPREFIX ($wine_loader, $WINEARCH)" >&2
    exit 2
  fi
  wineserver -w
fi

echo "== wrapper.exe /s ($config)"
status=0
"$wine_loader" "$root/build/$config/wrapper.exe" /s || status=$?
wineserver -w
echo "exit code: $status (Linux keeps the low 8 bits of the Windows exit code)"

suffix=""
[ "$config" = win32 ] || suffix=_x64
user_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/LocalLow 2>/dev/null | head -n 1)
echo "== staging folder"
ls -l "$user_dir/Velmor/Tarsk/tpz1.6.0_13$suffix"
echo "== installed kit"
kit=$(find "$WINEPREFIX/drive_c" -maxdepth 4 -type d -path '*Tarsk/Kit*' 2>/dev/null | head -n 1)
if [ -n "$kit" ]; then
  find "$kit" -type f | sed "s|$WINEPREFIX/drive_c|C:|"
  [ -f "$kit/README.txt" ] && { echo "== $kit/README.txt"; head -n 20 "$kit/README.txt"; }
else
  echo "nothing installed"
fi
echo "== registry"
"$wine_loader" reg query 'HKLM\Software\TarskSoft' /s 2>/dev/null | tr -d '\r' || true
if [ "$WINEARCH" = win64 ]; then
  echo "== registry, 32-bit view (where a reinstall request would wait)"
  view32=$("$wine_loader" reg query 'HKLM\Software\TarskSoft' /s /reg:32 2>/dev/null | tr -d '\r') || true
  if [[ "$view32" == HKEY* ]]; then echo "$view32"; else echo "no vendor key there: no request waiting"; fi
fi
exit "$status"
