#!/usr/bin/env bash
# Builds setup.exe and runs it under Wine on the bundled sample installation. Installs and builds
# only what that needs: the 32-bit setup.exe and, from the 64-bit tree, the UI driver.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh sample
bash tools/build.sh win32 win64
export SETUP_EXE32=$PWD/build/win32/setup.exe SETUP_EXE64=$PWD/build/win64/setup.exe
export UIDRIVER_EXE=$PWD/build/win64/tests/driver/uidriver.exe SAMPLE_DIR=$PWD/sample
export WINE_TEMPLATE=$PWD/build/native/wine-template
/usr/bin/python3 tests/wine/harness.py make-template "$WINE_TEMPLATE"
/usr/bin/python3 tools/sample_run.py
