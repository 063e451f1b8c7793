#!/usr/bin/env bash
# Runs every test: the host unit tests of both editions under the sanitizers,
# a bounded fuzz run, the product build, and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== host unit tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

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

echo "== product"
cmake --preset win32 >/dev/null
cmake --build --preset win32

echo "== the sample kit under Wine's installer engine"
bash tests/kit/run.sh build/win32/kit

echo "== end-to-end tests under Wine"
bash tests/e2e/run.sh build/win32
