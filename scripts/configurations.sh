# Which end-to-end configurations this host can run, and how each one runs.
# Sourced by the dependency script, the test command and the main job.
#
#   configuration  wrapper  package  Wine prefix               build folder
#   win32          32-bit   i586     win32                     build/win32
#   win32-x64      32-bit   amd64    win64 with its 32-bit part build/win32-x64
#   win64          64-bit   amd64    win64                     build/win64
#
# The first two need a kernel that runs 32-bit (i386) programs: 32-bit Wine
# cannot start otherwise. WRAPPER_HOST_64BIT_ONLY=1 takes the 64-bit-only path
# on any host, so that path can be tried on every machine.

WRAPPER_ALL_CONFIGURATIONS=(win32 win32-x64 win64)

# Sets host_runs_i386 (1 or 0) and host_i386_reason. The probe is a 93-byte
# static i386 program that only exits with 0, written here so that the answer
# needs no i386 package.
wrapper_probe_host() {
  host_runs_i386=0
  if [ "${WRAPPER_HOST_64BIT_ONLY:-0}" = 1 ]; then
    host_i386_reason="WRAPPER_HOST_64BIT_ONLY=1 forces the 64-bit-only path"
    return
  fi
  if [ "$(uname -m)" != x86_64 ]; then
    host_i386_reason="the host is $(uname -m), not x86-64"
    return
  fi
  local probe status=0
  probe="$(mktemp)"
  {
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    printf '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80'   # xor ebx,ebx; mov eax,1; int 0x80
  } >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  if [ "$status" = 0 ]; then
    host_runs_i386=1
    host_i386_reason="the kernel runs 32-bit programs"
  else
    host_i386_reason="the kernel refuses 32-bit programs (exit $status: IA-32 emulation is off)"
  fi
}

# Sets wrapper_configurations (what this host runs) and wrapper_skipped
# (what it cannot, with the reason).
wrapper_select_configurations() {
  wrapper_probe_host
  if [ "$host_runs_i386" = 1 ]; then
    wrapper_configurations=(win32 win32-x64 win64)
    wrapper_skipped=()
  else
    wrapper_configurations=(win64)
    wrapper_skipped=(win32 win32-x64)
  fi
}

# One line for the log: which configurations run and which cannot, and why.
wrapper_configurations_line() {
  local line="configurations: running ${wrapper_configurations[*]}"
  if [ "${#wrapper_skipped[@]}" -gt 0 ]; then
    line+="; not running ${wrapper_skipped[*]}: $host_i386_reason"
  else
    line+=" ($host_i386_reason)"
  fi
  echo "$line"
}

# The Wine loader and prefix kind of a configuration. A 64-bit prefix of the
# 64-bit wrapper is started with the 64-bit loader itself, so that the path
# works whether or not 32-bit Wine is installed.
wrapper_wine_loader() {
  case "$1" in
    win64) echo /usr/lib/wine/wine64 ;;
    *) echo wine ;;
  esac
}
# The loader that makes a configuration's prefix: a 64-bit prefix, with or
# without its 32-bit part, is made by the 64-bit loader.
wrapper_boot_loader() {
  case "$(wrapper_winearch "$1")" in
    win64) echo /usr/lib/wine/wine64 ;;
    *) echo wine ;;
  esac
}
wrapper_winearch() {
  case "$1" in
    win32) echo win32 ;;
    *) echo win64 ;;
  esac
}
# The CMake preset, and the C compiler for small test programs, of a configuration.
wrapper_compiler() {
  case "$1" in
    win64) echo x86_64-w64-mingw32-gcc ;;
    *) echo i686-w64-mingw32-gcc ;;
  esac
}
