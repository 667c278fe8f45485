#!/usr/bin/env bash
# Runs the atheris fuzz targets of fuzz/targets.py for a bounded time each.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 10 s, all targets)
#
# With clang available (TAVRO_FUZZ_NATIVE=auto, the default) the extension
# modules are rebuilt with -fsanitize=address,fuzzer-no-link into
# build/fuzz/site, so libFuzzer also sees the native code's coverage and ASan
# watches it; without clang (or TAVRO_FUZZ_NATIVE=0) the installed modules
# are fuzzed with Python-level coverage only. Corpora are kept in
# build/fuzz/corpus/TARGET between runs; findings land in build/fuzz/artifacts.
# Exit status: 0 when every target ran its time without a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}
SECONDS_PER_TARGET=${1:-10}
shift || true
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
    TARGETS=(hexundump hexdump bits integers restreamed rebuffered)
fi
NATIVE=${TAVRO_FUZZ_NATIVE:-auto}
OUT=build/fuzz

if ! "$PYTHON" -c 'import atheris' 2>/dev/null; then
    echo "fuzz: installing atheris" >&2
    "$PYTHON" -m pip install -q 'atheris>=2.3'
fi
ATHERIS_DIR=$("$PYTHON" -c 'import atheris; print(atheris.path())')

env_prefix=()
if [ "$NATIVE" = auto ]; then
    if command -v clang++ >/dev/null && [ -e "$ATHERIS_DIR/asan_with_fuzzer.so" ]; then NATIVE=1; else NATIVE=0; fi
fi
if [ "$NATIVE" = 1 ]; then
    SITE=$OUT/site
    if [ "${TAVRO_FUZZ_SKIP_BUILD:-}" != 1 ]; then
        isolation=()
        if "$PYTHON" -c 'import scikit_build_core' 2>/dev/null; then isolation=(--no-build-isolation); fi
        rm -rf "$SITE"
        echo "fuzz: building the modules with clang -fsanitize=address,fuzzer-no-link" >&2
        CC=clang CXX=clang++ \
        CXXFLAGS="-fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer -g -O1" \
        LDFLAGS="-fsanitize=address" \
            "$PYTHON" -m pip install -q --no-deps "${isolation[@]}" --target "$SITE" \
                --config-settings=build-dir="$OUT/build-{wheel_tag}" .
    fi
    # The ASan runtime that carries libFuzzer, from atheris; the modules'
    # coverage counters register with it when they load.
    env_prefix=(env "LD_PRELOAD=$ATHERIS_DIR/asan_with_fuzzer.so" PYTHONMALLOC=malloc
                "PYTHONPATH=$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}"
                "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:detect_odr_violation=0")
    echo "fuzz: native coverage and ASan on" >&2
else
    echo "fuzz: Python-level coverage only (no clang or TAVRO_FUZZ_NATIVE=0)" >&2
fi

mkdir -p "$OUT/artifacts"
status=0
for target in "${TARGETS[@]}"; do
    corpus=$OUT/corpus/$target
    mkdir -p "$corpus"
    log=$OUT/$target.log
    set +e
    "${env_prefix[@]}" "$PYTHON" fuzz/targets.py "$target" "$corpus" \
        -max_total_time="$SECONDS_PER_TARGET" -timeout=20 -rss_limit_mb=4096 \
        -artifact_prefix="$OUT/artifacts/$target-" -print_final_stats=1 >"$log" 2>&1
    rc=$?
    set -e
    if grep -q "skipped" "$log"; then
        grep skipped "$log"
        continue
    fi
    stats=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true)
    runs=$(grep -oE '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
    echo "fuzz: $target: rc=$rc runs=${runs:-?} ${stats}"
    if [ $rc -ne 0 ]; then
        status=1
        echo "---- $target finding (log $log):"
        grep -vE '^(#[0-9]+|INFO:|stat::)' "$log" | tail -40
    fi
done
exit $status
