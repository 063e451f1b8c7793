#!/usr/bin/env bash
# Builds the host unit tests with gcc's coverage counters in a build folder of
# their own (build/coverage), runs them, and prints the line and branch
# coverage of src/ (the Win32 layer, which the host cannot run, left out) and
# every branch no test takes, so that a new one shows up in the next run.
# It reports and never judges: the exit status is 0 unless the tests cannot be
# built or run, or gcovr is missing (scripts/install-deps.sh installs it).
# A failing test is reported by the host test run itself, not here.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/coverage

if ! command -v gcovr >/dev/null; then
  echo "coverage: gcovr is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

# Without the sanitizers, whose checks gcc would count as branches of the code
# (they run in the host test build).
cmake --preset host -B "$build" -DWRAPPER_SANITIZERS=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
# Counters of an earlier run would add up with this one's (or clash with a
# rebuilt program's).
find "$build" -name '*.gcda' -delete
cmake --build "$build" -j 2 >/dev/null
# Each test program runs once, all its tests in one process: much quicker
# than a process per test, and the counters are the same.
: >"$build/tests.log"
for tests in "$build"/tests/host/*_tests; do
  "$tests" >>"$build/tests.log" 2>&1 || \
    echo "coverage: $(basename "$tests") failed (see $build/tests.log); the figures cover the run as it was"
done

# The three editions compile the same sources: gcovr merges their counters per line.
# Branches that only the compiler makes (exception unwinding, unreachable code) are left out.
gcovr_args=(--root . --filter 'src/' --exclude 'src/platform/win32/'
  --exclude-throw-branches --exclude-unreachable-branches "$build")
echo "== coverage of src/ (without src/platform/win32) by the host tests"
gcovr "${gcovr_args[@]}" --print-summary --txt "$build/lines.txt" | grep -E '^(lines|branches):'
gcovr "${gcovr_args[@]}" --json "$build/coverage.json" >/dev/null

echo "== branches not taken (file:line: branches taken/branches, the line)"
python3 - "$build/coverage.json" <<'EOF'
import json, sys
report = json.load(open(sys.argv[1]))
missing = 0
for entry in sorted(report["files"], key=lambda f: f["file"]):
    for line in entry["lines"]:
        branches = [b for b in line.get("branches", []) if not b.get("throw")]
        taken = sum(1 for b in branches if b["count"] > 0)
        if branches and taken < len(branches):
            missing += len(branches) - taken
            with open(entry["file"]) as source:
                text = source.read().splitlines()[line["line_number"] - 1].strip()
            print(f'{entry["file"]}:{line["line_number"]}: {taken}/{len(branches)}  {text}')
if missing == 0:
    print("(none)")
EOF
