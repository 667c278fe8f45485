#!/usr/bin/env bash
# The version matrix: builds the package with every supported CPython and
# runs the whole test suite against each build, one line of verdict per
# version at the end. Fails when any listed version fails to build or pass.
#
#   tools/matrix.sh                  3.10 to 3.15 (and 3.13t with TAVRO_MATRIX_FREE_THREADED=1)
#   tools/matrix.sh 3.11 3.14        only these (3.13t: the free-threaded 3.13)
#   tools/matrix.sh 3.12 -- -x -k "not dist" tests/test_expr.py    pytest arguments after --
#   TAVRO_MATRIX_MODULES="portil;binary" ...   build only these modules (development; default all)
#
# Interpreters: 3.10 to 3.13 from pyenv; 3.14, 3.15 and 3.13t from
# ../shared/tools/extra-python (TAVRO_EXTRA_PYTHON overrides the path). Each
# version gets a virtual environment and a CMake build directory under
# build/matrix/<version>, reused by the next run, and is built with warnings
# as errors. Versions are built one after the other: a build takes both
# cores of these machines.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

supported=(3.10 3.11 3.12 3.13 3.14 3.15)
if [[ ${TAVRO_MATRIX_FREE_THREADED:-0} == 1 ]]; then supported+=(3.13t); fi
versions=()
pytest_args=()
while [[ $# -gt 0 ]]; do
    if [[ $1 == -- ]]; then
        shift
        pytest_args=("$@")
        break
    fi
    versions+=("$1")
    shift
done
if [[ ${#versions[@]} -eq 0 ]]; then versions=("${supported[@]}"); fi
if [[ ${#pytest_args[@]} -eq 0 ]]; then
    # shellcheck disable=SC2206
    pytest_args=(${TAVRO_MATRIX_PYTEST:--q})
fi
# Always set, so that a build directory does not keep an earlier run's choice.
module_setting=(--config-settings=cmake.define.TAVRO_MODULES="${TAVRO_MATRIX_MODULES:-all}")
# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"

declare -a verdicts
status=0
for version in "${versions[@]}"; do
    begin=$SECONDS
    home=$root/build/matrix/$version
    log=$home/log.txt
    mkdir -p "$home"
    : >"$log"
    echo "== matrix: CPython $version"
    python=$(interpreter_for "$version")
    if [[ -z $python || ! -x $python ]]; then
        verdicts+=("$version  NO INTERPRETER")
        status=1
        continue
    fi
    venv=$home/venv
    if [[ ! -x $venv/bin/python ]]; then
        if ! make_venv "$python" "$venv" "$log"; then
            verdicts+=("$version  VENV FAILED (see $log)")
            status=1
            continue
        fi
    fi
    # Without build isolation, a dependency that ships only sources for this
    # interpreter (librt, which mypy needs, on the free-threaded 3.13) builds
    # with the backend installed here: setuptools.
    if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core setuptools >>"$log" 2>&1 ||
       ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
            --config-settings=build-dir="$home/cmake" --config-settings=cmake.define.TAVRO_WERROR=ON \
            "${module_setting[@]}" \
            ".[test]" >>"$log" 2>&1; then
        tail -n 30 "$log"
        verdicts+=("$version  BUILD FAILED ($((SECONDS - begin)) s, see $log)")
        status=1
        continue
    fi
    "$venv/bin/python" -m pytest -p no:cacheprovider "${pytest_args[@]}" 2>&1 | tee -a "$log" | tail -n 15
    result=${PIPESTATUS[0]}
    summary=$(grep -E "(passed|failed|error)" "$log" | tail -n 1)
    if [[ $result -ne 0 ]]; then
        verdicts+=("$version  TESTS FAILED: $summary ($((SECONDS - begin)) s)")
        status=1
    else
        verdicts+=("$version  ok: $summary ($((SECONDS - begin)) s)")
    fi
done

echo "== matrix verdicts"
for line in "${verdicts[@]}"; do echo "$line"; done
exit $status
