#!/usr/bin/env bash
# ThreadSanitizer: builds the modules with clang and -fsanitize=thread against
# a free-threaded CPython built the same way (../shared/tools/extra-python
# 3.13t-tsan), then runs the tests that work from many threads at once
# against that build. A data race in our code fails the run with the
# sanitizer's report; the interpreter's own known races are suppressed with
# the list that comes with its sources.
#
#   tools/tsan.sh                      the threads and free-threading tests
#   tools/tsan.sh tests/test_expr.py   other tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
extra_python=${TAVRO_EXTRA_PYTHON:-$root/../shared/tools/extra-python}
python=$("$extra_python" 3.13t-tsan | tail -n 1)
home=$root/build/tsan
venv=$home/venv
mkdir -p "$home"

if [[ ! -x $venv/bin/python ]]; then
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core pytest "hypothesis<6.156"
echo "tsan: building the modules with clang -fsanitize=thread into $home" >&2
CC=clang CXX=clang++ CXXFLAGS="-fsanitize=thread -g -O1" LDFLAGS="-fsanitize=thread" \
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --config-settings=build-dir="$home/cmake" \
    --config-settings=cmake.define.TAVRO_MODULES="${TAVRO_TSAN_MODULES:-all}" .

interpreter_home=$(cd "$(dirname "$python")/../.." && pwd)
# The interpreter's own known races (the list that comes with its sources),
# and ours about the interpreter (tools/tsan-suppressions.txt).
suppressions=$home/suppressions.txt
cat "$interpreter_home"/src/Python-*/Tools/tsan/suppressions_free_threading.txt "$root/tools/tsan-suppressions.txt" \
    >"$suppressions" 2>/dev/null || cp "$root/tools/tsan-suppressions.txt" "$suppressions"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$suppressions"
if [[ $# -eq 0 ]]; then
    set -- tests/test_free_threading.py tests/test_threads.py
fi
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
