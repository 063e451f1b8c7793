#!/usr/bin/env bash
# Tests the sample kit with Wine's real msiexec.
#   tests/kit/run.sh KITDIR
# KITDIR is the output of resources/kit/build.sh. WINEPREFIX names a ready
# 32-bit prefix; without it a private one is made in a temporary folder and
# removed afterwards. Prints "PASS name" / "FAIL name" per case and
# "N passed, M failed"; exits non-zero when a case fails.
set -uo pipefail

[ $# -eq 1 ] && [ -f "$1/tpz1.6.0_13.msi" ] || { echo "usage: $0 KITDIR" >&2; exit 2; }
kit="$(cd "$1" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
tmp="$(mktemp -d)"

cleanup() {
  [ -n "${holder:-}" ] && kill "$holder" 2>/dev/null
  wineserver -k 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

export WINEDEBUG=-all
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the source tree
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="$tmp/prefix"
  WINEARCH=win32 wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 2; }
fi

kittool="$tmp/kittool.exe"
i686-w64-mingw32-gcc -O2 -Wall -o "$kittool" "$here/kittool.c" -lmsi || exit 2

MSI=tpz1.6.0_13.msi
CABS=(sd160130.cab ss160130.cab st160130.cab sj160130.cab sp160130.cab sz160130.cab
      sb160130.cab sr160130.cab)
PRODUCT_CODE='{4B7E2C1A-9D35-4F60-8A13-160013A0C0DE}'
UNINSTALL_KEY="Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$PRODUCT_CODE"
COMPANY_KEY='Software\TarskSoft'
KIT_KEY='Software\TarskSoft\Kit'
install_dir="$WINEPREFIX/drive_c/Program Files/Tarsk/Kit 1.6.0_13"
KIT_FILES=(README.txt NOTES.txt docs/LICENSE.txt samples/hello.tpz tools/tpzcheck.cfg
           lib/tpzcore.txt lib/zones.txt plugins/plugins.lst bin/tpz.cfg)
# Keeps a wrongly waiting installation from hanging a case for ten minutes.
NO_WAIT=WRAPPER_WAIT_MS=3000

passed=0 failed=0
# run_case NAME COMMAND...: the command prints why it failed and returns non-zero.
# Every case starts with the kit not installed, whatever the last one left.
run_case() {
  local name="$1" out
  shift
  reset_state
  if out="$("$@" 2>&1)"; then
    echo "PASS $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; failed=$((failed + 1))
    [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }
KIT_MSI="$(winpath "$kit/$MSI")"
# Hex of text as the registry stores strings (UTF-16LE).
u16hex() { printf '%b' "$1" | iconv -f utf-8 -t utf-16le | od -An -v -tx1 | tr -d ' \n'; }
reg() { wine "$kittool" reg-query "$1" "$2" | tr -d '\r'; }

# msi LOG ARGS...: runs msiexec, prints its full exit code; the verbose log
# goes to $tmp/LOG.log.
msi() {
  local log="$tmp/$1.log"
  shift
  rm -f "$log"
  wine "$kittool" run msiexec "$@" /qn '/l*v' "$(winpath "$log")" | tr -d '\r' | sed -n 's/^exit=//p'
}

# stage NAME [CAB...]: a folder with the package and the given cabinets.
stage() {
  local dir="$tmp/stage-$1"
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$kit/$MSI" "$dir/"
  local c
  for c in "$@"; do cp "$kit/$c" "$dir/"; done
  printf '%s' "$dir"
}

expect_eq() { [ "$2" = "$3" ] || { echo "$1: got '$2', expected '$3'"; return 1; }; }
expect_code() { expect_eq "msiexec exit code" "$1" "$2"; }
expect_files() {
  local f
  for f in "${KIT_FILES[@]}"; do [ -f "$install_dir/$f" ] || { echo "missing $f"; return 1; }; done
}
expect_not_installed() {
  [ ! -e "$install_dir" ] || { echo "$install_dir still exists"; return 1; }
  expect_eq "product registration" "$(reg "$UNINSTALL_KEY" DisplayName)" nokey || return 1
  expect_eq "company key" "$(reg "$COMPANY_KEY" x)" nokey
}
# Same text, ignoring the CR LF line ends of installed files.
expect_text() {
  cmp -s <(tr -d '\r' < "$1") "$2" || { echo "$1 differs from $2"; return 1; }
}

reset_state() {
  if [ -e "$install_dir" ] || [ "$(reg "$UNINSTALL_KEY" DisplayName)" != nokey ]; then
    msi reset /x "$KIT_MSI" >/dev/null
  fi
  rm -rf "$install_dir" "$WINEPREFIX/drive_c/Kit Elsewhere"
  wine reg delete 'HKLM\Software\TarskSoft' /f >/dev/null 2>&1
}

uninstall() {
  local code
  code="$(msi uninstall /x "$KIT_MSI" "$@")"
  expect_code "$code" 0 && expect_not_installed
}

# ---- the package as built --------------------------------------------------

case_layout() {
  local msi="$kit/$MSI" media files
  media="$(msiinfo export "$msi" Media | tr -d '\r' | tail -n +4 | sort -n)"
  files="$(msiinfo export "$msi" File | tr -d '\r' | tail -n +4 | awk -F'\t' '{print $8, $1}' |
           sort -n)"
  local prev=0 disk=0 id last cab
  # (awk: read would merge the empty columns between tabs)
  while read -r id last cab; do
    disk=$((disk + 1))
    expect_eq "DiskId" "$id" "$disk" || return 1
    expect_eq "cabinet $disk" "$cab" "${CABS[$((disk - 1))]}" || return 1
    local want have
    want="$(awk -v a="$prev" -v b="$last" '$1 > a && $1 <= b {print $2}' <<< "$files")"
    have="$(gcab -t "$kit/$cab")"
    expect_eq "files of $cab" "$have" "$want" || return 1
    prev=$last
  done < <(awk -F'\t' '{print $1, $2, $4}' <<< "$media")
  expect_eq "cabinet count" "$disk" 8 || return 1
  expect_eq "files outside the cabinets" "$(awk -v b="$prev" '$1 > b' <<< "$files")" ""
}

case_properties() {
  local props
  props="$(msiinfo export "$kit/$MSI" Property | tr -d '\r')"
  local p
  for p in "ALLUSERS	1" "Manufacturer	TarskSoft" "ProductCode	$PRODUCT_CODE" \
           "UpgradeCode	{4B7E2C1A-9D35-4F60-8A13-00000000C0DE}" "KIT_LANGUAGE	en"; do
    grep -qxF "$p" <<< "$props" || { echo "no property row '$p'"; return 1; }
  done
  msiinfo streams "$kit/$MSI" | grep -qx 'Binary.KitCA' || { echo "no KitCA binary"; return 1; }
  # The custom action DLL may only import system DLLs.
  msiinfo extract "$kit/$MSI" Binary.KitCA > "$tmp/kitca.dll"
  local dlls dll
  dlls="$(i686-w64-mingw32-objdump -p "$tmp/kitca.dll" | sed -n 's/^\s*DLL Name: //p' |
          tr 'A-Z' 'a-z')"
  grep -qx msi.dll <<< "$dlls" || { echo "KitCA does not import msi.dll"; return 1; }
  for dll in $dlls; do
    case "$dll" in
      kernel32.dll|advapi32.dll|user32.dll|msi.dll|msvcrt.dll) ;;
      *) echo "KitCA imports $dll, not a system DLL"; return 1 ;;
    esac
  done
}

case_deterministic() {
  bash "$repo/resources/kit/build.sh" "$tmp/build-a" >/dev/null &&
    bash "$repo/resources/kit/build.sh" "$tmp/build-b" >/dev/null || return 1
  local f
  for f in "$MSI" "${CABS[@]}"; do
    cmp "$tmp/build-a/$f" "$tmp/build-b/$f" || return 1
  done
}

# ---- install and uninstall -------------------------------------------------

case_install() {
  local dir code
  dir="$(stage full "${CABS[@]}")"
  code="$(msi install /i "$(winpath "$dir/$MSI")" "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_files || return 1
  expect_text "$install_dir/README.txt" "$repo/resources/kit/payload/README.txt" || return 1
  expect_text "$install_dir/NOTES.txt" "$repo/resources/kit/payload/res/notes-en.txt" || return 1
  expect_eq Language "$(reg "$KIT_KEY" Language)" "type=1 data=$(u16hex 'en\0')" || return 1
  expect_eq Locale "$(reg "$KIT_KEY" Locale)" absent || return 1
  # Not asked for: no handshake value.
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus)" absent || return 1
  expect_eq ProductLanguage "$(reg "$UNINSTALL_KEY" Language)" "type=4 data=09040000"
}

case_uninstall() {
  local code
  code="$(msi install /i "$KIT_MSI" "$NO_WAIT")"
  expect_code "$code" 0 && expect_files || return 1
  uninstall
}

case_missing_cabinet() {
  local missing="$1" dir code c rest=()
  for c in "${CABS[@]}"; do [ "$c" = "$missing" ] || rest+=("$c"); done
  dir="$(stage missing "${rest[@]}")"
  code="$(msi missing /i "$(winpath "$dir/$MSI")" "$NO_WAIT")"
  expect_code "$code" 1603 || return 1
  expect_not_installed
}

case_install_dir() {
  local code target="$WINEPREFIX/drive_c/Kit Elsewhere"
  code="$(msi installdir /i "$KIT_MSI" 'INSTALLDIR=C:\Kit Elsewhere' "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  [ -f "$target/README.txt" ] && [ -f "$target/lib/zones.txt" ] || { echo "not in $target"; return 1; }
  [ ! -e "$install_dir" ] || { echo "also installed to the default folder"; return 1; }
  expect_eq InstallDir "$(reg "$KIT_KEY" InstallDir)" "type=1 data=$(u16hex 'C:\\Kit Elsewhere\\\0')" || return 1
  code="$(msi installdir-x /x "$KIT_MSI")"
  expect_code "$code" 0 || return 1
  [ ! -e "$target/README.txt" ] || { echo "left $target/README.txt"; return 1; }
  expect_not_installed
}

# ---- waiting for the wrapper -----------------------------------------------

# Starts an installation that waits for the cabinets; sets $waiting_pid.
start_waiting_install() {
  local dir="$1" name="$2"
  shift 2
  msi "$name" /i "$(winpath "$dir/$MSI")" WRAPPER=1 "$@" > "$tmp/$name.code" &
  waiting_pid=$!
}

case_wrapper_waits_then_installs() {
  local dir code state
  dir="$(stage wrapper)"
  start_waiting_install "$dir" wrapper
  state="$(wine "$kittool" wait-event 30000 | tr -d '\r')"
  expect_eq "event state" "$state" "signalled=0" || { wait "$waiting_pid"; return 1; }
  sleep 2
  kill -0 "$waiting_pid" 2>/dev/null || { echo "installation did not wait"; return 1; }
  [ ! -e "$install_dir/README.txt" ] || { echo "files installed before the event"; return 1; }
  wine "$kittool" deliver "$(winpath "$kit")" "$(winpath "$dir")" 1000 >/dev/null ||
    { echo "deliver failed"; wait "$waiting_pid"; return 1; }
  wait "$waiting_pid"
  code="$(cat "$tmp/wrapper.code")"
  expect_code "$code" 0 || return 1
  expect_files || return 1
  grep -aq "WaitForCabinets: event set after" "$tmp/wrapper.log" || { echo "no wait in the log"; return 1; }
  uninstall
}

case_wrapper_event_already_set() {
  local dir code start
  dir="$(stage preset "${CABS[@]}")"
  wine "$kittool" set-event 20000 >/dev/null &
  holder=$!
  expect_eq "event state" "$(wine "$kittool" wait-event 10000 | tr -d '\r')" "signalled=1" || return 1
  start=$SECONDS
  code="$(msi preset /i "$(winpath "$dir/$MSI")" WRAPPER=1 WRAPPER_WAIT_MS=15000)"
  kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; holder=""
  expect_code "$code" 0 || return 1
  [ $((SECONDS - start)) -lt 10 ] || { echo "took $((SECONDS - start)) s"; return 1; }
  expect_files && uninstall
}

case_wrapper_times_out() {
  local dir code start elapsed
  dir="$(stage timeout)"
  start=$(date +%s%N)
  code="$(msi timeout /i "$(winpath "$dir/$MSI")" WRAPPER=1 WRAPPER_WAIT_MS=1500)"
  elapsed=$((($(date +%s%N) - start) / 1000000))
  expect_code "$code" 1603 || return 1
  [ "$elapsed" -ge 1500 ] || { echo "failed after $elapsed ms, before the time-out"; return 1; }
  grep -aq "WaitForCabinets: cabinets not ready after" "$tmp/timeout.log" ||
    { echo "no time-out line in the log"; return 1; }
  expect_not_installed
}

# ---- embedded language transforms ------------------------------------------

case_transform() {
  local id="$1" lang="$2" locale="$3" notes="$4" code
  code="$(msi "transform-$id" /i "$KIT_MSI" "TRANSFORMS=:$id" "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_files || return 1
  expect_eq Language "$(reg "$KIT_KEY" Language)" "type=1 data=$(u16hex "$lang\\0")" || return 1
  expect_eq Locale "$(reg "$KIT_KEY" Locale)" "type=1 data=$(u16hex "$locale\\0")" || return 1
  expect_text "$install_dir/NOTES.txt" "$repo/resources/kit/payload/res/$notes" || return 1
  local hex
  hex="$(printf '%08x' "$id" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')"
  expect_eq ProductLanguage "$(reg "$UNINSTALL_KEY" Language)" "type=4 data=$hex" || return 1
  uninstall "TRANSFORMS=:$id"
}

# ---- the reinstall handshake -----------------------------------------------

case_reinstall_first_run() {
  local code
  code="$(msi reinstall-1 /i "$KIT_MSI" REQUEST_REINSTALL=1 "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus)" \
    "type=1 data=$(u16hex 'reinstall\0')"
}

case_reinstall_second_run() {
  case_reinstall_first_run || return 1
  # The wrapper reads the request, clears it and runs the package again.
  wine reg delete 'HKLM\Software\TarskSoft' /v InstallStatus /f >/dev/null 2>&1
  expect_eq "before" "$(reg "$COMPANY_KEY" InstallStatus)" absent || return 1
  local code
  code="$(msi reinstall-2 /i "$KIT_MSI" REQUEST_REINSTALL=1 "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  grep -aq "Installed = 1" "$tmp/reinstall-2.log" || { echo "not a maintenance run"; return 1; }
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus)" absent || return 1
  expect_files && uninstall
}

# case_status TYPE VALUE EXPECTED [EXTRA PROPERTY]
case_status() {
  local type="$1" value="$2" want="$3" code
  shift 3
  code="$(msi status /i "$KIT_MSI" "INSTALL_STATUS_TYPE=$type" "INSTALL_STATUS_VALUE=$value" \
          "$@" "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus)" "$want" || return 1
  # Uninstalling removes the value, then the emptied company key.
  uninstall
}

case_status_invalid() {
  local code
  code="$(msi status-bad /i "$KIT_MSI" "INSTALL_STATUS_TYPE=$1" "INSTALL_STATUS_VALUE=$2" \
          "$NO_WAIT")"
  expect_code "$code" 1603 || return 1
  expect_not_installed
}

# ---- run -------------------------------------------------------------------

wine cmd /c exit >/dev/null 2>&1  # starts the prefix's services once

run_case layout-media-and-cabinets case_layout
run_case package-properties-and-imports case_properties
run_case build-is-deterministic case_deterministic
run_case install-from-eight-cabinets case_install
run_case uninstall-removes-files-and-key case_uninstall
for cab in "${CABS[@]}"; do
  run_case "missing-cabinet-${cab%%160130.cab}-fails-1603" case_missing_cabinet "$cab"
done
run_case installdir-overridden case_install_dir
run_case wrapper-waits-then-installs-after-delivery case_wrapper_waits_then_installs
run_case wrapper-event-set-before-start case_wrapper_event_already_set
run_case wrapper-time-out-fails-1603 case_wrapper_times_out
run_case transform-1041-japanese case_transform 1041 ja ja-JP notes-ja.txt
run_case transform-2052-chinese case_transform 2052 zh-CN zh-CN notes-zh-CN.txt
run_case reinstall-requested-on-first-run case_reinstall_first_run
run_case reinstall-not-requested-again-by-second-run case_reinstall_second_run
run_case status-reg-sz case_status REG_SZ reinstall "type=1 data=$(u16hex 'reinstall\0')"
run_case status-reg-expand-sz case_status REG_EXPAND_SZ '%TEMP%\x' \
  "type=2 data=$(u16hex '%TEMP%\\x\0')"
run_case status-reg-multi-sz case_status REG_MULTI_SZ 'reinstall[~]again' \
  "type=7 data=$(u16hex 'reinstall\0again\0\0')"
run_case status-reg-dword case_status REG_DWORD 0xdeadbeef "type=4 data=efbeadde"
run_case status-reg-qword case_status REG_QWORD 0x0102030405060708 "type=11 data=0807060504030201"
run_case status-reg-binary case_status REG_BINARY 7265696e "type=3 data=7265696e"
run_case status-raw-bytes-unterminated-sz case_status REG_SZ ignored \
  "type=1 data=$(u16hex 're')" INSTALL_STATUS_HEX=72006500
run_case status-unknown-type-fails case_status_invalid REG_FOO x
run_case status-bad-dword-fails case_status_invalid REG_DWORD twelve

while IFS= read -r line; do
  case "$line" in
    PASS\ *) passed=$((passed + 1)); echo "$line" ;;
    FAIL\ *) failed=$((failed + 1)); echo "$line" ;;
    *) echo "    $line" ;;
  esac
done < <(/usr/bin/python3 "$here/test_transform.py" "$kit/$MSI" "$tmp/transform" \
           --kittool "$kittool" 2>&1)

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
