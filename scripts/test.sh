#!/usr/bin/env bash
# Runs every test: the host unit tests of every edition under the sanitizers,
# a bounded fuzz run, the product builds, and for each configuration this host
# can run (scripts/configurations.sh) the sample kit's tests and the
# end-to-end tests under Wine: natively, or for the 32-bit configurations of a
# host whose kernel refuses 32-bit programs, through qemu-i386 in a private
# namespace of each suite; win-arm64 through qemu-aarch64 and arm64 Wine the
# same way. Prints the time of each configuration at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configurations.sh
run_start=$SECONDS
# Seconds spent per configuration (kit, end-to-end and signed suites).
declare -A config_seconds=()
timed() {
  local config="$1" start=$SECONDS status=0
  shift
  "$@" || status=$?
  config_seconds[$config]=$(( ${config_seconds[$config]:-0} + SECONDS - start ))
  return "$status"
}

bash scripts/install-deps.sh
wrapper_select_configurations
wrapper_configurations_line

echo "== host unit tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

echo "== the emulator's private namespace (its own unit tests)"
WRAPPER_QEMU_I386="$([ "$host_i386" = emulated ] && echo "$WRAPPER_QEMU_I386")" \
  /usr/bin/python3 -m unittest discover -s tests/scripts -p 'test_*.py'

echo "== benchmark report and timeline (their own unit tests)"
/usr/bin/python3 -m unittest discover -s bench -p 'test_*.py'

echo "== fuzz targets (${FUZZ_SECONDS:=20} s each)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in command_line registry_value; do
  work=$(mktemp -d)
  # A copy of the kept corpus, so that the run does not rewrite the sources.
  cp tests/fuzz/corpus/$target/* "$work"/
  status=0
  ./build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$FUZZ_SECONDS" -max_len=40000 \
    -print_final_stats=1 "$work" >"$work.log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|==[0-9]+==|SUMMARY)" "$work.log" || true
  rm -rf "$work" "$work.log"
  if [ "$status" != 0 ]; then echo "fuzz_$target failed"; exit 1; fi
done

# Every edition is built on every host; only running it needs the host's help.
for config in "${WRAPPER_ALL_CONFIGURATIONS[@]}"; do
  echo "== product: $config"
  cmake --preset "$config" >/dev/null
  cmake --build --preset "$config"
done

summary=()
for config in "${wrapper_configurations[@]}"; do
  echo "== $config: the sample kit under Wine's installer engine"
  status=0
  timed "$config" wrapper_run_config "$config" bash tests/kit/run.sh "build/$config/kit" "$config" ||
    status=$?
  [ "$status" = 0 ] || summary+=("$config kit tests failed")

  echo "== $config: end-to-end tests under Wine"
  e2e=0
  timed "$config" wrapper_run_config "$config" bash tests/e2e/run.sh "build/$config" --config "$config" ||
    e2e=$?
  [ "$e2e" = 0 ] || summary+=("$config end-to-end tests failed")
done

# What the host cannot run is still checked where no Wine is needed: the
# built image read back (imports, headers, manifest, resources) and the
# reproducible build.
for config in "${wrapper_skipped[@]}"; do
  echo "== $config: only the checks that need no Wine"
  e2e=0
  reason="$host_i386_reason"
  [ "$config" = win-arm64 ] && reason="$host_arm64_reason"
  bash tests/e2e/run.sh "build/$config" --config "$config" --without-wine "$reason" || e2e=$?
  [ "$e2e" = 0 ] || summary+=("$config checks without Wine failed")
done

# ---- signing: a signed build of the first configuration this host runs,
# with a throw-away certificate authority made for this run only.
signed="${wrapper_configurations[0]}"
echo "== $signed: signed build (test authority), its signatures and the end-to-end tests"
ca="$(mktemp -d)"
status=0
bash tests/signing/make-ca.sh "$ca" &&
  cmake --preset "$signed" -B "build/$signed-signed" \
    -DWRAPPER_SIGN_CERT="$ca/codesign.pem" -DWRAPPER_SIGN_KEY="$ca/codesign.key" >/dev/null &&
  cmake --build "build/$signed-signed" -j2 || status=$?
if [ "$status" = 0 ]; then
  timed "$signed" wrapper_run_config "$signed" bash tests/signing/run.sh "build/$signed-signed" "$ca" \
      --config "$signed" ||
    summary+=("$signed signing checks failed")
  timed "$signed" wrapper_run_config "$signed" bash tests/e2e/run.sh "build/$signed-signed" --config "$signed" ||
    summary+=("$signed end-to-end tests of the signed build failed")
else
  summary+=("$signed signed build failed")
fi
rm -rf "$ca"
# ---- end of signing

echo "== summary"
wrapper_configurations_line
for config in "${wrapper_configurations[@]}"; do
  extra=""
  [ "$config" = "$signed" ] && extra=", with the signed build"
  case "$config" in
    win-arm64) extra+=", emulated" ;;
    win32*) [ "$host_i386" = emulated ] && extra+=", emulated" ;;
  esac
  printf 'time %-10s %3d min %02d s (kit and end-to-end suites%s)\n' "$config" \
    $(( config_seconds[$config] / 60 )) $(( config_seconds[$config] % 60 )) "$extra"
done
printf 'time in all   %3d min %02d s\n' $(( (SECONDS - run_start) / 60 )) $(( (SECONDS - run_start) % 60 ))
if [ "${#summary[@]}" -gt 0 ]; then
  printf '%s\n' "${summary[@]}"
  exit 1
fi
echo "all tests passed for ${wrapper_configurations[*]}"
