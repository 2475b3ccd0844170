#!/usr/bin/env bash
# Speed of the copy run under Wine; prints its figures (see tools/bench.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh >/dev/null
export SETUP_EXE32=$PWD/build/win32/setup.exe SETUP_EXE64=$PWD/build/win64/setup.exe
export UIDRIVER_EXE=$PWD/build/win64/tests/driver/uidriver.exe SAMPLE_DIR=$PWD/sample
export BARE_WINDOW32=$PWD/build/win32/bare_window.exe BARE_WINDOW64=$PWD/build/win64/bare_window.exe
export START_TIMER=$PWD/build/win64/start_timer.exe
export WINE_TEMPLATE=$PWD/build/native/wine-template
/usr/bin/python3 tests/wine/harness.py make-template "$WINE_TEMPLATE"
/usr/bin/python3 tools/bench.py
