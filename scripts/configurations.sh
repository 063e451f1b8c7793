# Which end-to-end configurations this host can run, and how each one runs.
# Sourced by the dependency script, the test command and the main job.
#
#   configuration  wrapper  package  Wine prefix               build folder
#   win32          32-bit   i586     win32                     build/win32
#   win32-x64      32-bit   amd64    win64 with its 32-bit part build/win32-x64
#   win64          64-bit   amd64    win64                     build/win64
#   win-arm64      arm64    arm64    win64 (arm64 Wine)        build/win-arm64
#
# The first two run 32-bit (i386) Linux programs: 32-bit Wine. A host is of
# one of three kinds for them (host_i386):
#   native    the kernel runs i386 programs;
#   emulated  the kernel refuses them (IA-32 emulation off), but QEMU's
#             qemu-i386 runs them inside a private namespace of the run
#             (scripts/binfmt_namespace.py): nothing is registered outside it;
#   off       neither: only win64 runs under Wine.
# WRAPPER_I386=native|emulated|off forces a kind (emulated works on a native
# host too); WRAPPER_HOST_64BIT_ONLY=1 is the older name of WRAPPER_I386=off.
#
# win-arm64 runs Debian's arm64 Wine from an arm64 Debian root in the cache
# (scripts/make-arm64-root.sh) through QEMU's qemu-aarch64, registered only
# inside a private namespace of the run, as qemu-i386 is (host_arm64:
# emulated or off; WRAPPER_ARM64=off leaves it out).

WRAPPER_ALL_CONFIGURATIONS=(win32 win32-x64 win64 win-arm64)
WRAPPER_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# Where the emulator is kept between runs on the same machine.
WRAPPER_CACHE="${WRAPPER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/wrapper}"
WRAPPER_QEMU_I386="$WRAPPER_CACHE/qemu/qemu-i386"
WRAPPER_QEMU_AARCH64="$WRAPPER_CACHE/qemu/qemu-aarch64"
WRAPPER_QEMU_MIN_MAJOR=10   # Debian 12's own 7.2 cannot run 32-bit Wine
# The arm64 Debian root that holds arm64 Wine (scripts/make-arm64-root.sh);
# a root made by an older recipe carries another stamp and is made again.
WRAPPER_ARM64_ROOT="$WRAPPER_CACHE/arm64-root"
WRAPPER_ARM64_ROOT_STAMP="bookworm minbase wine64 2"

wrapper_arm64_root_ready() {
  [ -x "$WRAPPER_ARM64_ROOT/usr/lib/wine/wine64" ] &&
    [ "$(cat "$WRAPPER_ARM64_ROOT/.wrapper-root" 2>/dev/null)" = "$WRAPPER_ARM64_ROOT_STAMP" ]
}

# Writes a 93-byte static i386 program that only exits with 0, so that the
# answer needs no i386 package.
wrapper_write_i386_probe() {
  {
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    printf '\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80'   # xor ebx,ebx; mov eax,1; int 0x80
  } >"$1"
  chmod +x "$1"
}

# Prints the major version of the cached qemu-i386 (or of the emulator
# named), or nothing.
wrapper_qemu_major() {
  local emulator="${1:-$WRAPPER_QEMU_I386}"
  [ -x "$emulator" ] || return 0
  "$emulator" --version 2>/dev/null |
    sed -n 's/^qemu-[a-z0-9_]* version \([0-9][0-9]*\)\..*/\1/p' | head -n 1
}

# Puts QEMU's qemu-i386 and qemu-aarch64 (>= 10, from Debian's
# bookworm-backports) in the cache unless good ones are there. Only the package file is fetched, with an apt
# configuration of its own that adds the backports suite of the archive this
# machine already uses; nothing is installed or upgraded. Returns non-zero,
# saying why, when it cannot.
wrapper_fetch_qemu() {
  local major major64
  major="$(wrapper_qemu_major)"
  major64="$(wrapper_qemu_major "$WRAPPER_QEMU_AARCH64")"
  if [ -n "$major" ] && [ "$major" -ge "$WRAPPER_QEMU_MIN_MAJOR" ] &&
     [ -n "$major64" ] && [ "$major64" -ge "$WRAPPER_QEMU_MIN_MAJOR" ]; then
    return 0
  fi
  local uri
  uri="$(wrapper_debian_archive)"
  if [ -z "$uri" ]; then
    echo "no Debian archive in this machine's apt sources: cannot fetch qemu-i386" >&2
    return 1
  fi
  local work status=0
  work="$(mktemp -d)"
  mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/cache" "$work/root"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm-backports main" \
    >"$work/sources.list"
  local apt=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
             -o Dir::Cache::Archives="$work/archives" -o APT::Sandbox::User=root)
  echo "== fetching qemu-i386 and qemu-aarch64 (QEMU >= $WRAPPER_QEMU_MIN_MAJOR) from bookworm-backports into $WRAPPER_CACHE"
  (cd "$work" && apt-get "${apt[@]}" update >/dev/null &&
     apt-get "${apt[@]}" download qemu-user/bookworm-backports >/dev/null &&
     dpkg-deb -x qemu-user_*.deb root) || status=$?
  if [ "$status" = 0 ] && [ -x "$work/root/usr/bin/qemu-i386" ] && [ -x "$work/root/usr/bin/qemu-aarch64" ]; then
    local emulator
    for emulator in "$WRAPPER_QEMU_I386" "$WRAPPER_QEMU_AARCH64"; do
      mkdir -p "$(dirname "$emulator")"
      install -m 0755 "$work/root/usr/bin/$(basename "$emulator")" "$emulator.new"
      mv "$emulator.new" "$emulator"
    done
  else
    echo "fetching qemu-user from bookworm-backports failed" >&2
    status=1
  fi
  rm -rf "$work"
  [ "$status" = 0 ] || return 1
  major="$(wrapper_qemu_major)"
  if [ -z "$major" ] || [ "$major" -lt "$WRAPPER_QEMU_MIN_MAJOR" ]; then
    echo "the fetched qemu-i386 is not QEMU >= $WRAPPER_QEMU_MIN_MAJOR" >&2
    return 1
  fi
}

# The Debian archive address that this machine's apt sources name for the
# main bookworm suite.
wrapper_debian_archive() {
  {
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk '/^URIs:/ {u = $2} /^Suites:/ && / bookworm( |$)/ {print u; exit}'
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk '$1 == "deb" && $0 ~ / bookworm( |$)/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:/) {print $i; exit}}'
  } | head -n 1
  return 0   # a missing sources file is no failure: the caller checks for an empty answer
}

# Whether the kernel and the host's policy let this run make the namespace;
# sets host_i386_reason when not (the check names the kernel when its
# binfmt_misc is not per user namespace, as before Linux 6.7).
wrapper_namespace_usable() {
  wrapper_check_namespace
  if [ -n "$wrapper_namespace_refused" ]; then
    host_i386_reason="the kernel refuses 32-bit programs, and no private namespace for an emulator can be made: $wrapper_namespace_refused"
    return 1
  fi
}

# Sets wrapper_namespace_refused to why no private namespace can be made here
# (empty when one can); the check runs once per shell, for both emulators.
wrapper_check_namespace() {
  [ -z "${wrapper_namespace_checked:-}" ] || return 0
  local why
  wrapper_namespace_refused=""
  if ! why="$(/usr/bin/python3 "$WRAPPER_SCRIPTS/binfmt_namespace.py" --check 2>&1)"; then
    wrapper_namespace_refused="${why#binfmt namespace: }"
  fi
  wrapper_namespace_checked=1
}

# Sets host_i386 (native, emulated or off), host_i386_reason, and
# host_runs_i386 (1 when 32-bit Wine can run here, natively or emulated);
# host_i386_needs_emulator is 1 when the host is off only for want of the
# emulator in the cache.
wrapper_probe_host() {
  host_i386=off
  host_runs_i386=0
  host_i386_needs_emulator=0
  local forced="${WRAPPER_I386:-}"
  if [ -z "$forced" ] && [ "${WRAPPER_HOST_64BIT_ONLY:-0}" = 1 ]; then
    forced=off
  fi
  case "$forced" in
    ""|native|emulated|off) ;;
    *) echo "WRAPPER_I386 must be native, emulated or off, not '$forced'" >&2; return 2 ;;
  esac
  if [ "$forced" = off ]; then
    host_i386_reason="WRAPPER_I386=off forces the 64-bit-only path"
    return
  fi
  if [ "$(uname -m)" != x86_64 ]; then
    host_i386_reason="the host is $(uname -m), not x86-64"
    return
  fi
  local probe status=0
  probe="$(mktemp)"
  wrapper_write_i386_probe "$probe"
  if [ "$forced" != emulated ]; then
    "$probe" 2>/dev/null || status=$?
    if [ "$status" = 0 ] || [ "$forced" = native ]; then
      rm -f "$probe"
      host_i386=native host_runs_i386=1
      if [ "$status" = 0 ]; then
        host_i386_reason="the kernel runs 32-bit programs"
      else
        host_i386_reason="WRAPPER_I386=native, though the kernel refuses 32-bit programs (exit $status)"
      fi
      return
    fi
  fi
  local refused="the kernel refuses 32-bit programs (exit $status: IA-32 emulation is off)"
  [ "$forced" = emulated ] && refused="WRAPPER_I386=emulated"
  local major
  major="$(wrapper_qemu_major)"
  if [ -z "$major" ] || [ "$major" -lt "$WRAPPER_QEMU_MIN_MAJOR" ]; then
    rm -f "$probe"
    host_i386_needs_emulator=1
    host_i386_reason="$refused, and there is no QEMU >= $WRAPPER_QEMU_MIN_MAJOR qemu-i386 in $WRAPPER_CACHE (scripts/install-deps.sh fetches it from bookworm-backports)"
    return
  fi
  if ! wrapper_namespace_usable; then
    rm -f "$probe"
    [ "$forced" = emulated ] && host_i386_reason="WRAPPER_I386=emulated, but ${host_i386_reason#the kernel refuses 32-bit programs, and }"
    return
  fi
  status=0
  /usr/bin/python3 "$WRAPPER_SCRIPTS/binfmt_namespace.py" "$WRAPPER_QEMU_I386" "$probe" \
    >/dev/null 2>&1 || status=$?
  rm -f "$probe"
  if [ "$status" != 0 ]; then
    host_i386_reason="$refused, and the probe failed under qemu-i386 $major in a private namespace (exit $status)"
    return
  fi
  host_i386=emulated host_runs_i386=1
  host_i386_reason="$refused: 32-bit programs run through QEMU $major's qemu-i386, registered only inside a private namespace of each run"
}

# Sets host_arm64 (emulated or off) and host_arm64_reason: whether arm64
# Wine can run here. host_arm64_needs_root is 1 when only the arm64 root is
# missing (scripts/make-arm64-root.sh makes it).
wrapper_probe_arm64() {
  host_arm64=off
  host_arm64_needs_root=0
  case "${WRAPPER_ARM64:-}" in
    off) host_arm64_reason="WRAPPER_ARM64=off leaves it out"; return ;;
    ""|emulated) ;;
    *) echo "WRAPPER_ARM64 must be emulated or off, not '$WRAPPER_ARM64'" >&2; return 2 ;;
  esac
  local major
  major="$(wrapper_qemu_major "$WRAPPER_QEMU_AARCH64")"
  if [ -z "$major" ] || [ "$major" -lt "$WRAPPER_QEMU_MIN_MAJOR" ]; then
    host_arm64_reason="there is no QEMU >= $WRAPPER_QEMU_MIN_MAJOR qemu-aarch64 in $WRAPPER_CACHE (scripts/install-deps.sh fetches it)"
    return
  fi
  wrapper_check_namespace
  if [ -n "$wrapper_namespace_refused" ]; then
    host_arm64_reason="no private namespace for the emulator can be made: $wrapper_namespace_refused"
    return
  fi
  if ! wrapper_arm64_root_ready; then
    host_arm64_needs_root=1
    host_arm64_reason="the arm64 root with Wine is not in $WRAPPER_CACHE (scripts/install-deps.sh makes it)"
    return
  fi
  host_arm64=emulated
  host_arm64_reason="arm64 Wine runs through QEMU $major's qemu-aarch64, registered only inside a private namespace of each run"
}

# Runs a command as a configuration needs it: the 32-bit configurations of
# an emulated host inside a private namespace where qemu-i386 runs i386
# programs, win-arm64 inside one where qemu-aarch64 runs the arm64 root's
# Wine (found first on the PATH); every Wine process of the command runs
# there, and none outlives it. Everything else runs as it is.
wrapper_run_config() {
  local config="$1"
  shift
  if [ "$config" = win-arm64 ]; then
    PATH="$WRAPPER_SCRIPTS/arm64-wine:$PATH" WRAPPER_ARM64_ROOT="$WRAPPER_ARM64_ROOT" WRAPPER_ARM64_EMULATED=1 \
      /usr/bin/python3 "$WRAPPER_SCRIPTS/binfmt_namespace.py" --machine aarch64 "$WRAPPER_QEMU_AARCH64" "$@"
  elif [ "$config" != win64 ] && [ "${host_i386:-}" = emulated ]; then
    WRAPPER_I386_EMULATED=1 /usr/bin/python3 "$WRAPPER_SCRIPTS/binfmt_namespace.py" "$WRAPPER_QEMU_I386" "$@"
  else
    "$@"
  fi
}

# Sets wrapper_configurations (what this host runs) and wrapper_skipped
# (what it cannot, with the reason).
wrapper_select_configurations() {
  wrapper_probe_host
  wrapper_probe_arm64
  if [ "$host_runs_i386" = 1 ]; then
    wrapper_configurations=(win32 win32-x64 win64)
    wrapper_skipped=()
  else
    wrapper_configurations=(win64)
    wrapper_skipped=(win32 win32-x64)
  fi
  if [ "$host_arm64" = emulated ]; then
    wrapper_configurations+=(win-arm64)
  else
    wrapper_skipped+=(win-arm64)
  fi
}

# One line for the log: which configurations run and which cannot, and why.
wrapper_configurations_line() {
  local line="configurations: running ${wrapper_configurations[*]}"
  if [ "${#wrapper_skipped[@]}" -gt 0 ]; then
    line+="; not running ${wrapper_skipped[*]}"
  fi
  line+=" (32-bit: $host_i386, $host_i386_reason; arm64: $host_arm64, $host_arm64_reason)"
  echo "$line"
}

# The Wine loader and prefix kind of a configuration. A 64-bit prefix of the
# 64-bit wrapper is started with the 64-bit loader itself, so that the path
# works whether or not 32-bit Wine is installed.
wrapper_wine_loader() {
  case "$1" in
    win64) echo /usr/lib/wine/wine64 ;;
    win-arm64) echo wine ;;   # scripts/arm64-wine, first on the PATH of the run
    *) echo wine ;;
  esac
}
# The loader that makes a configuration's prefix: a 64-bit prefix, with or
# without its 32-bit part, is made by the 64-bit loader.
wrapper_boot_loader() {
  [ "$1" = win-arm64 ] && { echo wine; return; }
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
    win-arm64) echo "$WRAPPER_SCRIPTS/../tests/arm64/cc.sh" ;;
    *) echo i686-w64-mingw32-gcc ;;
  esac
}
