#!/usr/bin/env bash
# Builds setup.exe (32-bit), its 64-bit twin with the UI driver, and the native tests.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in win32 win64 native; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
