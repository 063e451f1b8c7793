#!/bin/bash
# Runs the end-to-end tests under Wine: bash tests/e2e/run.sh BUILD_DIR [-k PATTERN]
exec /usr/bin/python3 "$(dirname "$0")/run.py" "$@"
