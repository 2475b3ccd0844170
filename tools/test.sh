#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 machine: install, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
# The Wine fixture counts this run's 32-bit starts afresh; a stale count must not be reported.
rm -f build/native/wine32/starts.log
status=0
ctest --preset native "$@" || status=$?
/usr/bin/python3 tests/wine/harness.py summary build/native/wine32
exit "$status"
