#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 or 13 machine: install, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
# What this run decides and starts for the 32-bit build, not what an earlier run did.
rm -f build/native/wine32/starts.log build/native/wine32/journeys.log build/native/wine32/decided
status=0
ctest --preset native "$@" || status=$?
/usr/bin/python3 tests/wine/harness.py summary build/native/wine32
exit "$status"
