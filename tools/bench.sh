#!/usr/bin/env bash
# Speed of the copy run under Wine; prints its figures (see tools/bench.py).
# BENCH_BEFORE=COMMIT times that commit's 64-bit build beside this one, built from its files in
# a folder of its own; SETUP_EXE64_BEFORE=PATH names such a build directly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh >/dev/null
if [ -n "${BENCH_BEFORE:-}" ] && [ -z "${SETUP_EXE64_BEFORE:-}" ]; then
  before=$(mktemp -d "${TMPDIR:-/tmp}/bench-before.XXXXXX")
  trap 'rm -rf "$before"' EXIT
  git archive "$BENCH_BEFORE" | tar -x -C "$before"
  (cd "$before" && cmake --preset win64 >/dev/null && cmake --build --preset win64 >/dev/null)
  export SETUP_EXE64_BEFORE=$before/build/win64/setup.exe
fi
export SETUP_EXE32=$PWD/build/win32/setup.exe SETUP_EXE64=$PWD/build/win64/setup.exe
export UIDRIVER_EXE=$PWD/build/win64/tests/driver/uidriver.exe SAMPLE_DIR=$PWD/sample
export BARE_WINDOW32=$PWD/build/win32/bare_window.exe BARE_WINDOW64=$PWD/build/win64/bare_window.exe
export START_TIMER=$PWD/build/win64/start_timer.exe BARE_STEPS64=$PWD/build/win64/bare_steps.exe
export WINE_TEMPLATE=$PWD/build/native/wine-template
/usr/bin/python3 tests/wine/harness.py make-template "$WINE_TEMPLATE"
/usr/bin/python3 tools/bench.py "$@"
