#!/usr/bin/env bash
# Tests the sample kit with Wine's real msiexec.
#   tests/kit/run.sh KITDIR [CONFIG]
# KITDIR is the output of resources/kit/build.sh. CONFIG (scripts/configurations.sh)
# decides the package, the prefix and the helper program:
#   win32      i586 kit, 32-bit prefix, 32-bit kittool (the default)
#   win32-x64  amd64 kit, 64-bit prefix, 32-bit kittool started with wine
#   win64      amd64 kit, 64-bit prefix, 64-bit kittool started with wine64
#   win-arm64  arm64 kit, 64-bit prefix of arm64 Wine, arm64 kittool
# WINEPREFIX names a ready prefix of that kind; without it a private one is
# made in a temporary folder and removed afterwards. Prints "PASS name" /
# "FAIL name" / "SKIP name: reason" per case and "N passed, M failed, K
# skipped"; exits non-zero when a case fails.
set -uo pipefail

usage() { echo "usage: $0 KITDIR [win32|win32-x64|win64|win-arm64]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] && [ -f "$1/tpz1.6.0_13.msi" ] || usage
kit="$(cd "$1" && pwd)"
config="${2:-win32}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
# shellcheck source=../../scripts/configurations.sh
source "$repo/scripts/configurations.sh"
case "$config" in
  win32) kit_arch=i586 ;;
  win32-x64|win64) kit_arch=amd64 ;;
  win-arm64) kit_arch=arm64 ;;
  *) usage ;;
esac
WINE="$(wrapper_wine_loader "$config")"
winearch="$(wrapper_winearch "$config")"
cc="$(wrapper_compiler "$config")"

# What the package's architecture decides. An x64 package installs its
# 64-bit components (files, the Kit values) into the 64-bit folders and
# registry view and is registered (Uninstall key) in the 64-bit view; the
# reinstall request stays in the 32-bit view, where the wrapper reads it. A
# 32-bit prefix has a single view: no view is named there.
if [ "$kit_arch" = amd64 ] || [ "$kit_arch" = arm64 ]; then
  platform=x64 program_files_dir=ProgramFiles64Folder component_bits=256 locator_type=18
  dll_machine="8664 PE32+" objdump=x86_64-w64-mingw32-objdump
  kit_view=64 status_view=32 arp_view=64 views=(32 64)
  if [ "$kit_arch" = arm64 ]; then
    platform=Arm64 dll_machine="aa64 PE32+" objdump=llvm-objdump
  fi
else
  platform=Intel program_files_dir=ProgramFilesFolder component_bits=0 locator_type=2
  dll_machine="14c PE32" objdump=i686-w64-mingw32-objdump
  kit_view="" status_view="" arp_view="" views=("")
fi
template="$(msiinfo suminfo "$1/tpz1.6.0_13.msi" | tr -d '\r' | sed -n 's/^Template: //p')"
[ "${template%%;*}" = "$platform" ] || {
  echo "$1 holds a package for '${template%%;*}'; $config needs the $kit_arch kit" \
       "(resources/kit/build.sh OUTDIR --arch $kit_arch)" >&2
  exit 2
}
tmp="$(mktemp -d)"

# Ends the background kittool that holds the event (the shell function and
# the Wine process it runs).
stop_holder() {
  [ -n "${holder:-}" ] || return 0
  pkill -P "$holder" 2>/dev/null
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  holder=""
}

cleanup() {
  stop_holder
  wineserver -k 2>/dev/null
  [ -z "${keeper_pid:-}" ] || wait "$keeper_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

export WINEDEBUG=-all
export PYTHONDONTWRITEBYTECODE=1  # no __pycache__ in the source tree
if [ -z "${WINEPREFIX:-}" ]; then
  # A copy of the configuration's booted template (the run's shared one
  # when the test command made a folder for them).
  export WINEPREFIX="$tmp/prefix"
  /usr/bin/python3 "$repo/tests/e2e/lib/prefix_template.py" "$config" "$WINEPREFIX" >"$tmp/boot.log" 2>&1 ||
    { cat "$tmp/boot.log" >&2; echo "no prefix for $config ($winearch, $WINE)" >&2; exit 2; }
fi

kittool="$tmp/kittool.exe"
"$cc" -O2 -Wall -o "$kittool" "$here/kittool.c" -lmsi || exit 2

# Wine's desktop process, started once from a neutral program and kept for
# the whole suite, with the prefix's server (tests/e2e/programs/desktop_keeper.c):
# no installer run waits for a desktop process to start or races one that ends.
keeper="$tmp/desktop_keeper.exe"
"$cc" -O2 -Wall -o "$keeper" "$repo/tests/e2e/programs/desktop_keeper.c" -luser32 || exit 2
wineserver -p
"$WINE" "$keeper" >"$tmp/keeper.out" 2>&1 &
keeper_pid=$!
for _ in $(seq 1 1800); do
  grep -Eq '^desktop [1-9]' "$tmp/keeper.out" && break
  kill -0 "$keeper_pid" 2>/dev/null || break
  sleep 0.1
done
grep -Eq '^desktop [1-9]' "$tmp/keeper.out" ||
  { echo "the desktop keeper did not report the desktop:" >&2; cat "$tmp/keeper.out" >&2; exit 2; }

MSI=tpz1.6.0_13.msi
CABS=(sd160130.cab ss160130.cab st160130.cab sj160130.cab sp160130.cab sz160130.cab
      sb160130.cab sr160130.cab)
# The codes kitbuild.py gives each architecture's package: "PRODUCT PACKAGE UPGRADE".
kit_codes() {
  PYTHONPATH="$repo/resources/kit" /usr/bin/python3 -c 'import sys, kitbuild as k
a = k.ARCHES[sys.argv[1]]
print(a["product_code"], a["package_code"], k.UPGRADE_CODE)' "$1"
}
read -r PRODUCT_CODE PACKAGE_CODE UPGRADE_CODE < <(kit_codes "$kit_arch")
[ -n "$UPGRADE_CODE" ] || { echo "cannot read the codes from kitbuild.py" >&2; exit 2; }
UNINSTALL_KEY="Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$PRODUCT_CODE"
COMPANY_KEY='Software\TarskSoft'
KIT_KEY='Software\TarskSoft\Kit'
# Program Files is the 64-bit folder in a 64-bit prefix and the only one in a
# 32-bit prefix: the default folder is the same for both packages.
install_dir="$WINEPREFIX/drive_c/Program Files/Tarsk/Kit 1.6.0_13"
# Wine 8's installer engine on arm64 defines no 64-bit folder properties
# (ProgramFiles64Folder, ProgramFilesFolder, VersionNT64; only Intel): the
# package's ProgramFiles64Folder falls back to TARGETDIR, the root of C:.
if [ "$kit_arch" = arm64 ]; then
  install_dir="$WINEPREFIX/drive_c/Tarsk/Kit 1.6.0_13"
fi
x86_dir="$WINEPREFIX/drive_c/Program Files (x86)/Tarsk"
KIT_FILES=(README.txt NOTES.txt docs/LICENSE.txt samples/hello.tpz tools/tpzcheck.cfg
           lib/tpzcore.txt lib/zones.txt plugins/plugins.lst bin/tpz.cfg)
# Keeps a wrongly waiting installation from hanging a case for ten minutes.
NO_WAIT=WRAPPER_WAIT_MS=3000

# Notes of the runner reach the log even from a case whose output is shown
# only when it fails.
exec 3>&1
START_TRACE=-all,+process,+loaddll
TRACE_LINE='^[0-9a-f]+:(trace|fixme|warn|err):(process|loaddll):'

# wine_kittool ARGS...: kittool under Wine; prints its output and returns its
# status. kittool prints a line on every path that ends with 1, so an exit
# with 1 and nothing printed is Wine failing to start it (seen under load,
# about once in a few full runs): that start is run once more, with a note
# and Wine's trace of its process starts and DLL loads in the log. Whatever
# kittool or the installer it runs answers is never run again.
wine_kittool() {
  local out trace status attempt
  out="$(mktemp "$tmp/kittool.XXXXXX")"
  trace="$out.trace"
  for attempt in 1 2; do
    status=0
    WINEDEBUG="$START_TRACE" "$WINE" "$kittool" "$@" >"$out" 2>"$trace" || status=$?
    if [ "$attempt" = 2 ] || [ "$status" != 1 ] || [ -s "$out" ]; then
      break
    fi
    {
      echo "  note: kittool $1 ended with 1, printing nothing: Wine failed to start it; run again." \
           "Wine's trace of that start (last 40 lines):"
      tail -n 40 "$trace" | sed 's/^/    /'
    } >&3
  done
  cat "$out"
  grep -Ev "$TRACE_LINE" "$trace" >&2
  rm -f "$out" "$trace"
  return "$status"
}

passed=0 failed=0 skipped=0
# run_case NAME COMMAND...: the command prints why it failed and returns non-zero.
# Every case starts with the kit not installed, whatever the last one left.
run_case() {
  local name="$1" out started seconds
  shift
  started=$EPOCHREALTIME
  reset_state
  local status=0
  out="$("$@" 2>&1)" || status=$?
  seconds=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  if [ "$status" = 0 ]; then
    echo "PASS $name (${seconds}s)"; passed=$((passed + 1))
  else
    echo "FAIL $name (${seconds}s)"; failed=$((failed + 1))
    [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/    /'
  fi
}

# skip NAME REASON: a case that cannot apply to this configuration.
skip() { echo "SKIP $1: $2"; skipped=$((skipped + 1)); }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
KIT_MSI="$(winpath "$kit/$MSI")"
# Hex of text as the registry stores strings (UTF-16LE).
u16hex() { printf '%b' "$1" | iconv -f utf-8 -t utf-16le | od -An -v -tx1 | tr -d ' \n'; }
# reg KEY VALUE [VIEW]: an HKLM value as kittool reg-query prints it; VIEW 32
# or 64 names the registry view, empty or absent the program's own.
reg() { wine_kittool reg-query "$1" "$2" ${3:+"$3"} | tr -d '\r'; }
# reg_delete VIEW ARGS...: wine's reg delete in that view (empty: the only one).
reg_delete() {
  local view="$1"
  shift
  "$WINE" reg delete "$@" /f ${view:+"/reg:$view"} >/dev/null 2>&1
}

# msi LOG ARGS...: runs msiexec, prints its full exit code; the verbose log
# goes to $tmp/LOG.log.
msi() {
  local log="$tmp/$1.log"
  shift
  rm -f "$log"
  wine_kittool run msiexec "$@" /qn '/l*v' "$(winpath "$log")" | tr -d '\r' | sed -n 's/^exit=//p'
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
  local view
  for view in "${views[@]}"; do
    expect_eq "product registration${view:+ ($view-bit view)}" \
      "$(reg "$UNINSTALL_KEY" DisplayName "$view")" nokey || return 1
    expect_eq "company key${view:+ ($view-bit view)}" "$(reg "$COMPANY_KEY" x "$view")" nokey ||
      return 1
  done
}
# Same text, ignoring the CR LF line ends of installed files.
expect_text() {
  cmp -s <(tr -d '\r' < "$1") "$2" || { echo "$1 differs from $2"; return 1; }
}

# One kittool start clears the vendor key in every view and tells whether the
# kit is installed; only then is it removed, and the key cleared once more.
reset_state() {
  local views_named=() view state
  for view in "${views[@]}"; do views_named+=("${view:-own}"); done
  state="$(wine_kittool reset "$UNINSTALL_KEY" "${arp_view:-own}" "${views_named[@]}" | tr -d '\r')"
  if [ -e "$install_dir" ] || [ "$state" != installed=0 ]; then
    msi reset /x "$KIT_MSI" >/dev/null
    wine_kittool reset "$UNINSTALL_KEY" "${arp_view:-own}" "${views_named[@]}" >/dev/null
  fi
  rm -rf "$install_dir" "$x86_dir" "$WINEPREFIX/drive_c/Kit Elsewhere"
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
           "UpgradeCode	$UPGRADE_CODE" "KIT_LANGUAGE	en"; do
    grep -qxF "$p" <<< "$props" || { echo "no property row '$p'"; return 1; }
  done
  msiinfo streams "$kit/$MSI" | grep -qx 'Binary.KitCA' || { echo "no KitCA binary"; return 1; }
  # The custom action DLL may only import system DLLs.
  msiinfo extract "$kit/$MSI" Binary.KitCA > "$tmp/kitca.dll"
  local dlls dll
  dlls="$("$objdump" -p "$tmp/kitca.dll" | sed -n 's/^\s*DLL Name: //p' |
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
  bash "$repo/resources/kit/build.sh" "$tmp/build-a" --arch "$kit_arch" >/dev/null &&
    bash "$repo/resources/kit/build.sh" "$tmp/build-b" --arch "$kit_arch" >/dev/null || return 1
  local f
  for f in "$MSI" "${CABS[@]}"; do
    cmp "$tmp/build-a/$f" "$tmp/build-b/$f" || return 1
  done
}

# ---- what the package's architecture decides ------------------------------

# case_fact EXPECTED COMMAND...: the command's output is the expected text.
case_fact() {
  local want="$1" got
  shift
  got="$("$@")" || { echo "$* failed"; return 1; }
  expect_eq "$*" "$got" "$want"
}
fact_template() { msiinfo suminfo "$kit/$MSI" | tr -d '\r' | sed -n 's/^Template: //p'; }
# The base and target Template in an embedded transform's own summary.
fact_transform_templates() {
  /usr/bin/python3 -c 'import sys, olefile
p = olefile.OleFileIO(sys.argv[1]).getproperties([sys.argv[2], "\x05SummaryInformation"])
print(p[7].decode(), p[8].decode())' "$kit/$MSI" "$1"
}
# msidbComponentAttributes64bit of every component: "256", "0", or both.
fact_component_bits() {
  msiinfo export "$kit/$MSI" Component | tr -d '\r' | tail -n +4 |
    awk -F'\t' '{print int($4 / 256) % 2 * 256}' | sort -u
}
fact_directory_parent() {
  msiinfo export "$kit/$MSI" Directory | tr -d '\r' | awk -F'\t' -v d="$1" '$1 == d {print $2}'
}
fact_locator_type() {
  msiinfo export "$kit/$MSI" RegLocator | tr -d '\r' | awk -F'\t' -v s="$1" '$1 == s {print $5}'
}
# The custom action DLL's machine and optional header kind.
fact_dll_machine() {
  msiinfo extract "$kit/$MSI" Binary.KitCA > "$tmp/kitca-pe.dll" || return 1
  /usr/bin/python3 -c 'import struct, sys
d = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", d, 60)[0]
assert d[pe:pe + 4] == b"PE\0\0", "not a PE file"
machine, magic = struct.unpack_from("<H", d, pe + 4)[0], struct.unpack_from("<H", d, pe + 24)[0]
print("%x %s" % (machine, {0x10b: "PE32", 0x20b: "PE32+"}.get(magic, hex(magic))))' \
    "$tmp/kitca-pe.dll"
}
fact_codes() {
  local product package
  product="$(msiinfo export "$kit/$MSI" Property | tr -d '\r' |
             awk -F'\t' '$1 == "ProductCode" {print $2}')"
  package="$(msiinfo suminfo "$kit/$MSI" | tr -d '\r' | sed -n 's/^Revision number (UUID): //p')"
  echo "$product $package"
}

# The two architectures' packages are different products of one family.
case_codes_own_to_arch() {
  local other other_product other_package other_upgrade
  other="$([ "$kit_arch" = amd64 ] && echo i586 || echo amd64)"
  read -r other_product other_package other_upgrade < <(kit_codes "$other")
  [ "$other_product" != "$PRODUCT_CODE" ] || { echo "ProductCode shared with $other"; return 1; }
  [ "$other_package" != "$PACKAGE_CODE" ] || { echo "PackageCode shared with $other"; return 1; }
  expect_eq "UpgradeCode of $other" "$other_upgrade" "$UPGRADE_CODE" || return 1
  expect_eq "codes in the package" "$(fact_codes)" "$PRODUCT_CODE $PACKAGE_CODE"
}

# case_view VALUE-KEY VALUE VIEW EXPECTED [PROPERTY...]: after an installation
# with the properties, the value as read in that registry view.
case_view() {
  local key="$1" value="$2" view="$3" want="$4" code
  shift 4
  code="$(msi view /i "$KIT_MSI" "$@" "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_eq "$value in the $view-bit view" "$(reg "$key" "$value" "$view")" "$want"
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
  [ ! -e "$x86_dir" ] || { echo "files in $x86_dir"; return 1; }
  expect_eq Language "$(reg "$KIT_KEY" Language "$kit_view")" "type=1 data=$(u16hex 'en\0')" ||
    return 1
  expect_eq Locale "$(reg "$KIT_KEY" Locale "$kit_view")" absent || return 1
  # Not asked for: no handshake value in any view; the company key exists
  # only in the view of the Kit values.
  local view want
  for view in "${views[@]}"; do
    want=nokey
    [ "$view" = "$kit_view" ] && want=absent
    expect_eq "InstallStatus${view:+ ($view-bit view)}" \
      "$(reg "$COMPANY_KEY" InstallStatus "$view")" "$want" || return 1
  done
  expect_eq ProductLanguage "$(reg "$UNINSTALL_KEY" Language "$arp_view")" "type=4 data=09040000"
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
  expect_eq InstallDir "$(reg "$KIT_KEY" InstallDir "$kit_view")" "type=1 data=$(u16hex 'C:\\Kit Elsewhere\\\0')" || return 1
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
  state="$(wine_kittool wait-event 30000 | tr -d '\r')"
  expect_eq "event state" "$state" "signalled=0" || { wait "$waiting_pid"; return 1; }
  sleep 2
  kill -0 "$waiting_pid" 2>/dev/null || { echo "installation did not wait"; return 1; }
  [ ! -e "$install_dir/README.txt" ] || { echo "files installed before the event"; return 1; }
  wine_kittool deliver "$(winpath "$kit")" "$(winpath "$dir")" 1000 >/dev/null ||
    { echo "deliver failed"; wait "$waiting_pid"; return 1; }
  wait "$waiting_pid"
  code="$(cat "$tmp/wrapper.code")"
  expect_code "$code" 0 || return 1
  expect_files || return 1
  grep -aq "WaitForCabinets: event set after" "$tmp/wrapper.log" || { echo "no wait in the log"; return 1; }
  uninstall
}

case_wrapper_event_already_set() {
  local dir code
  dir="$(stage preset "${CABS[@]}")"
  wine_kittool set-event 20000 >/dev/null &
  holder=$!
  expect_eq "event state" "$(wine_kittool wait-event 10000 | tr -d '\r')" "signalled=1" ||
    return 1
  code="$(msi preset /i "$(winpath "$dir/$MSI")" WRAPPER=1 WRAPPER_WAIT_MS=15000)"
  stop_holder
  expect_code "$code" 0 || return 1
  # The custom action's own account of its wait, not the installation's time
  # (which a loaded machine stretches): an event already set ends it at once,
  # one that it missed would hold it for the whole 15 s.
  local waited
  waited="$(tr -d '\0' <"$tmp/preset.log" | sed -n 's/.*WaitForCabinets: event set after \([0-9]*\) ms.*/\1/p' | head -n 1)"
  [ -n "$waited" ] || { echo "no 'event set' line in the log"; return 1; }
  [ "$waited" -lt 5000 ] || { echo "the custom action waited $waited ms for an event already set"; return 1; }
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
  expect_eq Language "$(reg "$KIT_KEY" Language "$kit_view")" \
    "type=1 data=$(u16hex "$lang\\0")" || return 1
  expect_eq Locale "$(reg "$KIT_KEY" Locale "$kit_view")" "type=1 data=$(u16hex "$locale\\0")" ||
    return 1
  expect_text "$install_dir/NOTES.txt" "$repo/resources/kit/payload/res/$notes" || return 1
  local hex
  hex="$(printf '%08x' "$id" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')"
  expect_eq ProductLanguage "$(reg "$UNINSTALL_KEY" Language "$arp_view")" "type=4 data=$hex" ||
    return 1
  uninstall "TRANSFORMS=:$id"
}

# ---- the reinstall handshake -----------------------------------------------

case_reinstall_first_run() {
  local code
  code="$(msi reinstall-1 /i "$KIT_MSI" REQUEST_REINSTALL=1 "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus "$status_view")" \
    "type=1 data=$(u16hex 'reinstall\0')"
}

case_reinstall_second_run() {
  case_reinstall_first_run || return 1
  # The wrapper reads the request, clears it and runs the package again.
  reg_delete "$status_view" 'HKLM\Software\TarskSoft' /v InstallStatus
  expect_eq "before" "$(reg "$COMPANY_KEY" InstallStatus "$status_view")" absent || return 1
  local code
  code="$(msi reinstall-2 /i "$KIT_MSI" REQUEST_REINSTALL=1 "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  grep -aq "Installed = 1" "$tmp/reinstall-2.log" || { echo "not a maintenance run"; return 1; }
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus "$status_view")" absent || return 1
  expect_files && uninstall
}

# case_status TYPE VALUE EXPECTED [EXTRA PROPERTY]
case_status() {
  local type="$1" value="$2" want="$3" code
  shift 3
  code="$(msi status /i "$KIT_MSI" "INSTALL_STATUS_TYPE=$type" "INSTALL_STATUS_VALUE=$value" \
          "$@" "$NO_WAIT")"
  expect_code "$code" 0 || return 1
  expect_eq InstallStatus "$(reg "$COMPANY_KEY" InstallStatus "$status_view")" "$want" || return 1
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

"$WINE" cmd /c exit >/dev/null 2>&1  # starts the prefix's services once

run_case layout-media-and-cabinets case_layout
run_case package-properties-and-imports case_properties
run_case build-is-deterministic case_deterministic
run_case arch-summary-template case_fact "$platform;1033" fact_template
for lang in 1041 2052; do
  run_case "arch-transform-$lang-templates" case_fact "$platform;1033 $platform;$lang" \
    fact_transform_templates "$lang"
done
run_case arch-component-64bit-attribute case_fact "$component_bits" fact_component_bits
run_case arch-program-files-folder case_fact "$program_files_dir" fact_directory_parent TARSKDIR
run_case arch-installdir-search-view case_fact "$locator_type" fact_locator_type InstallDirSearch
run_case arch-custom-action-dll-machine case_fact "$dll_machine" fact_dll_machine
run_case arch-own-product-and-package-codes case_codes_own_to_arch
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

# Which registry view holds what (an x64 package in a 64-bit prefix).
VIEW_CASES=(
  "view-kit-values-in-64-bit|$KIT_KEY|Language|64|type=1 data=$(u16hex 'en\0')"
  "view-kit-values-not-in-32-bit|$KIT_KEY|Language|32|nokey"
  "view-request-in-32-bit|$COMPANY_KEY|InstallStatus|32|type=1 data=$(u16hex 'reinstall\0')|REQUEST_REINSTALL=1"
  "view-request-not-in-64-bit|$COMPANY_KEY|InstallStatus|64|absent|REQUEST_REINSTALL=1"
  "view-registration-in-64-bit|$UNINSTALL_KEY|DisplayName|64|type=1 data=$(u16hex 'Tarsk Kit 1.6.0_13\0')"
  "view-registration-not-in-32-bit|$UNINSTALL_KEY|DisplayName|32|nokey"
)
for row in "${VIEW_CASES[@]}"; do
  IFS='|' read -r -a f <<< "$row"
  if [ "$kit_arch" != i586 ]; then
    run_case "${f[0]}" case_view "${f[@]:1}"
  else
    skip "${f[0]}" "a 32-bit prefix has one registry view"
  fi
done

# The transform writer's output applied by Wine's engine: the writer is the
# same for every package, and under the emulator these cases are the slowest
# part of win-arm64's suite, so that configuration runs them only with
# WRAPPER_ARM64_FULL=1.
transform_engine=(--kittool "$kittool" --wine "$WINE")
if [ "$config" = win-arm64 ] && [ "${WRAPPER_ARM64_FULL:-0}" != 1 ]; then
  transform_engine=()
  skip "transform-applied-by-wine-*" "the same writer runs in the other configurations; WRAPPER_ARM64_FULL=1 runs them under arm64 Wine"
fi
while IFS= read -r line; do
  case "$line" in
    PASS\ *) passed=$((passed + 1)); echo "$line" ;;
    FAIL\ *) failed=$((failed + 1)); echo "$line" ;;
    *) echo "    $line" ;;
  esac
done < <(/usr/bin/python3 "$here/test_transform.py" "$kit/$MSI" "$tmp/transform" \
           "${transform_engine[@]}" 2>&1)

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
