#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a private site directory and runs the pytest suite against that build.
#
#   tools/sanitize.sh [pytest arguments...]     (default: the whole suite, -q)
#   TAVRO_MATRIX_MODULES="portil;hex" tools/sanitize.sh ...   (a development build of some modules)
#
# The ordinary install is left alone: the sanitized modules live in
# build/sanitize/site and are put first on PYTHONPATH for the test run only.
# Tests that run child processes (the bad-input sweep, the hostile-dict
# harness) pass this environment on to them, so the children run the
# sanitized modules under the same runtime; TAVRO_SANITIZED tells them to
# keep PYTHONMALLOC=malloc rather than the debug allocator they use otherwise.
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it; PYTHONMALLOC=malloc routes every object allocation through that runtime
# (the small-object allocator would otherwise hide overflows inside its
# arenas). The interpreter's own leaks at exit are not ours to fix, so leak
# detection is off; reference leaks are covered by the refleak tests.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
BUILD_DIR=build/sanitize
SITE=$BUILD_DIR/site

if [ "${TAVRO_SANITIZE_SKIP_BUILD:-}" != 1 ]; then
    isolation=()
    if "$PYTHON" -c 'import scikit_build_core' 2>/dev/null; then
        isolation=(--no-build-isolation)
    fi
    rm -rf "$SITE"
    echo "sanitize: building with -fsanitize=address,undefined into $SITE" >&2
    modules=()
    if [ -n "${TAVRO_MATRIX_MODULES:-}" ]; then
        modules=(--config-settings=cmake.define.TAVRO_MODULES="$TAVRO_MATRIX_MODULES")
    fi
    TAVRO_SANITIZE=ON "$PYTHON" -m pip install -q --no-deps "${isolation[@]}" "${modules[@]}" --target "$SITE" \
        --config-settings=build-dir="$BUILD_DIR/{wheel_tag}" .
fi

LIBASAN=$(gcc -print-file-name=libasan.so)
if [ ! -e "$LIBASAN" ]; then
    echo "sanitize: gcc has no libasan.so ($LIBASAN)" >&2
    exit 2
fi

export LD_PRELOAD="$LIBASAN${LD_PRELOAD:+:$LD_PRELOAD}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}"
# allocator_may_return_null: an impossible size must surface as MemoryError,
# as it does in the ordinary build, rather than as an ASan abort.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_odr_violation=0:handle_segv=1:disable_coredump=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export TAVRO_SANITIZED=1

# Refuse to report a green run against the wrong build.
"$PYTHON" - "$SITE" <<'PY'
import os, sys
site = os.path.realpath(sys.argv[1])
import tavro
where = os.path.realpath(os.path.dirname(tavro.__file__))
if not where.startswith(site + os.sep):
    sys.exit(f"sanitize: tavro imported from {where}, not from {site}")
PY

if [ $# -eq 0 ]; then
    set -- -q
fi
exec "$PYTHON" -m pytest -p no:cacheprovider "$@"
