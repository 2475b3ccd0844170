#!/usr/bin/env bash
# The whole test suite from a fresh Debian 12 machine: install, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
ctest --preset native "$@"
