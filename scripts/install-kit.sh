#!/usr/bin/env bash
# The main job: builds the sample kit and wrapper.exe, runs `wrapper.exe /s`
# under Wine in a private prefix (build/demo/prefix, never ~/.wine) with the
# system's real msiexec, and shows what it installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32

export WINEPREFIX="$root/build/demo/prefix" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko downloads: the kit needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

echo "== wrapper.exe /s"
status=0
wine "$root/build/win32/wrapper.exe" /s || status=$?
wineserver -w
echo "exit code: $status (Linux keeps the low 8 bits of the Windows exit code)"

user_dir=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/LocalLow 2>/dev/null | head -n 1)
echo "== staging folder"
ls -l "$user_dir/Velmor/Tarsk/tpz1.6.0_13"
echo "== installed kit"
kit=$(find "$WINEPREFIX/drive_c" -maxdepth 4 -type d -path '*Tarsk/Kit*' 2>/dev/null | head -n 1)
if [ -n "$kit" ]; then
  find "$kit" -type f | sed "s|$WINEPREFIX/drive_c|C:|"
  [ -f "$kit/README.txt" ] && { echo "== $kit/README.txt"; head -n 20 "$kit/README.txt"; }
else
  echo "nothing installed"
fi
echo "== registry"
wine reg query 'HKLM\Software\TarskSoft' /s 2>/dev/null | tr -d '\r' || true
exit "$status"
