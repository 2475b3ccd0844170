#!/usr/bin/env bash
# Builds the given presets, by default all three: setup.exe (win32), its 64-bit twin with the
# UI driver (win64), and the native tests, which look for the other two and so come last.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(win32 win64 native)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
