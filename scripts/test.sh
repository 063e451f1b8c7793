#!/usr/bin/env bash
# Runs every test: the host unit tests of every edition under the sanitizers
# (with a coverage report, printed and never judged), a bounded fuzz run, the
# product builds, and for each configuration this host can run
# (scripts/configurations.sh) the sample kit's tests and the end-to-end tests
# under Wine: natively, or for the 32-bit configurations of a host whose
# kernel refuses 32-bit programs, through qemu-i386 in a private namespace of
# each suite; win-arm64 through qemu-aarch64 and arm64 Wine the same way.
# After the packages everything runs as jobs side by side (see "the suites
# under Wine" below); prints each job's time, each configuration's and each
# part's at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configurations.sh
run_start=$SECONDS
# Seconds of each part, in the order they ran, and of each configuration's jobs.
parts=()
declare -A part_seconds=() config_seconds=()
part_start=$SECONDS
# part NAME: the part that ran since the last call ends (its name), and its time.
part() {
  parts+=("$1")
  part_seconds[$1]=$((SECONDS - part_start))
  part_start=$SECONDS
}

bash scripts/install-deps.sh
wrapper_select_configurations
wrapper_configurations_line
part "packages, emulators and roots"

# ---- the suites under Wine, side by side
# Each suite is a job with its own prefixes (copies of one booted template
# per configuration), X display, temporary files and, where an emulator runs
# it, namespace. Most of a suite's time is spent waiting for chains of Wine
# processes (the native ones) or bound by the processors (the emulated
# ones), so WRAPPER_LANES jobs (3 by default) run at once; each job's
# output is printed in one piece when it ends. An end-to-end suite is split
# into WRAPPER_SHARDS runs (2 by default) of every Nth case.
lanes="${WRAPPER_LANES:-3}"
shards="${WRAPPER_SHARDS:-2}"
logs="$(mktemp -d)"
export WRAPPER_PREFIX_TEMPLATES="$logs/templates"
export PYTHONDONTWRITEBYTECODE=1
declare -A job_pid=() job_started=() job_seconds=() job_status=() job_cpu_seconds=()
summary=()

# The signed build of a configuration, made with a throw-away certificate
# authority of this run only: its signatures, and the end-to-end cases that
# a signature can change (the unsigned build runs them all).
signed_suite() {
  local config="$1" ca status=0
  ca="$(mktemp -d)"
  bash tests/signing/make-ca.sh "$ca" &&
    cmake --preset "$config" -B "build/$config-signed" \
      -DWRAPPER_SIGN_CERT="$ca/codesign.pem" -DWRAPPER_SIGN_KEY="$ca/codesign.key" >/dev/null &&
    cmake --build "build/$config-signed" -j2 >"$ca/build.log" 2>&1 ||
    { tail -n 40 "$ca/build.log"; echo "the signed build failed"; rm -rf "$ca"; return 1; }
  wrapper_run_config "$config" bash tests/signing/run.sh "build/$config-signed" "$ca" --config "$config" ||
    { echo "the signing checks failed"; status=1; }
  wrapper_run_config "$config" bash tests/e2e/run.sh "build/$config-signed" --config "$config" --signed-build ||
    { echo "the end-to-end cases of the signed build failed"; status=1; }
  rm -rf "$ca"
  return "$status"
}

# The host unit tests of every edition under the sanitizers, and the unit
# tests of the test command's own scripts.
host_suite() {
  echo "== host unit tests"
  cmake --preset host >/dev/null &&
    cmake --build --preset host &&
    ctest --preset host || return 1
  echo "== the scripts of the test command and the build (their own unit tests)"
  WRAPPER_QEMU_I386="$([ "$host_i386" = emulated ] && echo "$WRAPPER_QEMU_I386")" \
    /usr/bin/python3 -m unittest discover -s tests/scripts -p 'test_*.py' || return 1
  echo "== benchmark report and timeline (their own unit tests)"
  /usr/bin/python3 -m unittest discover -s bench -p 'test_*.py'
}

# A bounded run of each fuzz target, FUZZ_SECONDS each.
fuzz_suite() {
  local target work status
  echo "== fuzz targets (${FUZZ_SECONDS:=20} s each)"
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || return 1
  for target in command_line registry_value launch; do
    work=$(mktemp -d)
    # A copy of the kept corpus, so that the run does not rewrite the sources.
    cp tests/fuzz/corpus/$target/* "$work"/
    status=0
    ./build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$FUZZ_SECONDS" -max_len=40000 \
      -print_final_stats=1 "$work" >"$work.log" 2>&1 || status=$?
    grep -E "^(stat::number_of_executed_units|==[0-9]+==|SUMMARY)" "$work.log" || true
    rm -rf "$work" "$work.log"
    if [ "$status" != 0 ]; then echo "fuzz_$target failed"; return 1; fi
  done
}

# run_job KIND:CONFIG[:SHARD]
run_job() {
  local kind config shard reason
  IFS=: read -r kind config shard <<<"$1"
  case "$kind" in
    # Every edition is built on every host; only running it needs the host's help.
    build) cmake --preset "$config" >/dev/null && cmake --build --preset "$config" ;;
    host) host_suite ;;
    # Printed, never judged: the line and branch figures of src/ and every
    # branch no host case takes.
    coverage) bash scripts/coverage.sh ;;
    fuzz) fuzz_suite ;;
    kit) wrapper_run_config "$config" bash tests/kit/run.sh "build/$config/kit" "$config" ;;
    e2e) wrapper_run_config "$config" bash tests/e2e/run.sh "build/$config" --config "$config" --shard "$shard" ;;
    signed) signed_suite "$config" ;;
    # What the host cannot run is still checked where no Wine is needed: the
    # built image read back (imports, headers, manifest, resources) and the
    # reproducible build.
    nowine)
      reason="$host_i386_reason"
      [ "$config" = win-arm64 ] && reason="$host_arm64_reason"
      bash tests/e2e/run.sh "build/$config" --config "$config" --without-wine "$reason" ;;
  esac
}

job_log() { printf '%s/%s.log' "$logs" "${1//[:\/]/-}"; }

# Each job's processor time (its processes and all they waited for, the
# emulated Wine processes included) goes to a file beside its log.
start_job() {
  { status=0; run_job "$1" || status=$?; times >"$(job_log "$1").cpu"; exit "$status"; } \
    >"$(job_log "$1")" 2>&1 </dev/null &
  job_pid[$!]="$1"
  job_started[$1]=$SECONDS
}

# Seconds of processor time (user and system) of a finished job.
job_cpu() {
  local line
  line="$(sed -n 2p "$(job_log "$1").cpu" 2>/dev/null)"
  [ -n "$line" ] || { echo 0; return; }
  # "0m1.500s 0m0.250s": the children's user and system time
  echo "$line" | awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%d", t }'
}

# Busy and total processor ticks of the machine so far (all cores).
cpu_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }

# Waits for one running job to end and prints its output.
finish_job() {
  local pid="" status=0 job
  wait -n -p pid "${!job_pid[@]}" || status=$?
  job="${job_pid[$pid]}"
  unset "job_pid[$pid]"
  job_status[$job]=$status
  job_seconds[$job]=$((SECONDS - job_started[$job]))
  job_cpu_seconds[$job]=$(job_cpu "$job")
  echo "== $job: $([ "$status" = 0 ] && echo passed || echo "FAILED ($status)") in ${job_seconds[$job]} s" \
    "(${job_cpu_seconds[$job]} s of processor time)"
  sed 's/^/  /' "$(job_log "$job")"
  [ "$status" = 0 ] || summary+=("$job failed")
}

stop_jobs() {
  local pid
  for pid in "${!job_pid[@]}"; do kill -- "-$pid" 2>/dev/null; done
  wait
  rm -rf "$logs"
}
trap stop_jobs EXIT
trap 'exit 143' INT TERM
# Each job in a process group of its own, so that an interrupted run ends
# every process of its jobs.
set -m

# The longest jobs first, so that the last ones to end are short: the kit
# and end-to-end suites under the emulators (the kit suites, one job each,
# are the longest), the host tests, the signed build and the native suites.
emulated=() native=()
for config in "${wrapper_configurations[@]}"; do
  case "$config" in
    win-arm64) emulated+=("$config") ;;
    win32*) if [ "$host_i386" = emulated ]; then emulated+=("$config"); else native+=("$config"); fi ;;
    *) native+=("$config") ;;
  esac
done
signed="${wrapper_configurations[0]}"
queue=()
for config in "${WRAPPER_ALL_CONFIGURATIONS[@]}"; do queue+=("build:$config"); done
for config in "${emulated[@]}"; do queue+=("kit:$config"); done
for config in "${emulated[@]}"; do
  for shard in $(seq 1 "$shards"); do queue+=("e2e:$config:$shard/$shards"); done
done
queue+=(host:host "signed:$signed" coverage:host)
for config in "${native[@]}"; do
  for shard in $(seq 1 "$shards"); do queue+=("e2e:$config:$shard/$shards"); done
  queue+=("kit:$config")
done
queue+=(fuzz:fuzz)
for config in "${wrapper_skipped[@]}"; do queue+=("nowine:$config"); done

echo "== suites: ${#queue[@]} jobs, $lanes at a time"
read -r busy_before total_before < <(cpu_ticks)
# A job of a configuration waits for that configuration's build; one whose
# build failed does not run. The first job in the queue that can start does.
# The build a job needs: none for the builds and the host-side jobs.
needed_build() {
  local kind config
  IFS=: read -r kind config _ <<<"$1"
  case "$kind" in
    build|host|fuzz|coverage) ;;
    *) echo "build:$config" ;;
  esac
}
waiting=("${queue[@]}")
while [ "${#waiting[@]}" -gt 0 ] || [ "${#job_pid[@]}" -gt 0 ]; do
  started=""
  if [ "${#job_pid[@]}" -lt "$lanes" ]; then
    for i in "${!waiting[@]}"; do
      job="${waiting[$i]}"
      build="$(needed_build "$job")"
      [ -z "$build" ] || [ -n "${job_status[$build]:-}" ] || continue
      if [ -n "$build" ] && [ "${job_status[$build]}" != 0 ]; then
        job_status[$job]=skipped
        summary+=("$job not run: $build failed")
      else
        start_job "$job"
      fi
      unset "waiting[$i]"
      started=1
      break
    done
    waiting=("${waiting[@]}")
  fi
  [ -n "$started" ] || finish_job
done
read -r busy_after total_after < <(cpu_ticks)
busy=$(( 100 * (busy_after - busy_before) / (total_after - total_before + 1) ))
part "suites under Wine and host tests ($lanes at a time; the processors busy $busy % of the time)"
for job in "${!job_seconds[@]}"; do
  IFS=: read -r _ config _ <<<"$job"
  config_seconds[$config]=$(( ${config_seconds[$config]:-0} + job_seconds[$job] ))
done

echo "== summary"
wrapper_configurations_line
for job in "${queue[@]}"; do
  printf 'job  %-24s %4d s, %4d s of processor time  %s\n' "$job" "${job_seconds[$job]:-0}" \
    "${job_cpu_seconds[$job]:-0}" "$(case "${job_status[$job]:-1}" in 0) echo passed ;; skipped) echo "not run" ;; *) echo FAILED ;; esac)"
done
for config in "${wrapper_configurations[@]}"; do
  extra=""
  [ "$config" = "$signed" ] && extra=", with the signed build"
  case "$config" in
    win-arm64) extra+=", emulated" ;;
    win32*) [ "$host_i386" = emulated ] && extra+=", emulated" ;;
  esac
  printf 'time %-10s %3d min %02d s (its jobs added up%s)\n' "$config" \
    $(( config_seconds[$config] / 60 )) $(( config_seconds[$config] % 60 )) "$extra"
done
for name in "${parts[@]}"; do
  printf 'part %3d min %02d s  %s\n' $(( part_seconds[$name] / 60 )) $(( part_seconds[$name] % 60 )) "$name"
done
printf 'time in all   %3d min %02d s\n' $(( (SECONDS - run_start) / 60 )) $(( (SECONDS - run_start) % 60 ))
if [ "${#summary[@]}" -gt 0 ]; then
  printf '%s\n' "${summary[@]}"
  exit 1
fi
echo "all tests passed for ${wrapper_configurations[*]}"
