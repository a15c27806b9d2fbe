#!/usr/bin/env bash
# The thread tests under ThreadSanitizer: a TSan build of the free-threaded
# 3.13t (tools/build_cpython.sh, cached outside the clone), the extension
# built with -fsanitize=thread, and tests/python/test_threads.py, whose
# threads share tensors, hand them over and run at the same time. Any report
# fails the run. NumPy's own code is not instrumented, so races inside it
# stay unseen; ours are.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(tools/build_cpython.sh 3.13t-tsan)
BUILD=build/tsan
VENV=build/tsan-venv
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q -c requirements-cp313t.txt numpy ml_dtypes pytest hypothesis meson ninja
fi
export PATH="$PWD/$VENV/bin:$PATH"
[ -f "$BUILD/build.ninja" ] || meson setup "$BUILD" --buildtype=debugoptimized -Db_sanitize=thread -Db_lundef=false -Dtests=false
SUFFIX=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
ninja -C "$BUILD" "vessik_core$SUFFIX" "_cpu$SUFFIX"
STAGE=$BUILD/stage
rm -rf "$STAGE" && mkdir -p "$STAGE/vessik"
ln -s "$PWD/$BUILD/vessik_core$SUFFIX" "$STAGE/"
ln -s "$PWD"/python/vessik/*.py "$PWD/$BUILD/python/_version.py" "$PWD/$BUILD/_cpu$SUFFIX" "$STAGE/vessik/"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
PYTHONPATH="$STAGE" "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_threads.py
echo "ThreadSanitizer: no report"
