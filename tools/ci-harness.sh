#!/usr/bin/env bash
# The harness's part of CI, after the ordinary install and test run (which
# runs the hostile-dict harness with the debug allocator):
#   1. the suite against an ASan+UBSan build (includes the bad-input sweep
#      and the threads test under the sanitizers),
#   2. the hostile-dict harness against the same build,
#   3. the reference-leak tests on the ordinary build,
#   4. a few seconds of fuzzing per target.
# Each step prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}

step() {
    local name=$1
    shift
    local begin=$SECONDS
    echo "== harness: $name"
    "$@"
    echo "== harness: $name took $((SECONDS - begin)) s"
}

step "sanitizer build and suite" bash tools/sanitize.sh -q --ignore=tests/test_hostile.py
step "hostile dicts under the sanitizers" env TAVRO_SANITIZE_SKIP_BUILD=1 bash tools/sanitize.sh -q tests/test_hostile.py
step "reference leaks" "$PYTHON" -m pytest -q -p no:cacheprovider -m refleak tests/test_refleak.py

# Native coverage for the fuzzer needs clang; install it when it can be had
# quickly, otherwise fuzz with Python-level coverage.
if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== harness: installing clang for instrumented fuzzing"
    (timeout 240 apt-get update -qq && DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -qq clang >/dev/null) \
        || echo "== harness: no clang, fuzzing without native coverage"
fi
step "fuzzing" bash tools/fuzz.sh "${TAVRO_FUZZ_SECONDS:-8}"
