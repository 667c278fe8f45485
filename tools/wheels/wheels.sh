#!/usr/bin/env bash
# The binary wheels: one manylinux_2_17_x86_64 wheel per supported CPython and
# the sdist, written into dist/; each wheel checked, then installed as a user
# gets it and tested. Fails when any listed version fails a step.
#
#   tools/wheels.sh                  3.10 to 3.15 and the free-threaded 3.13t
#   tools/wheels.sh 3.10 3.15        only these
#   tools/wheels.sh --no-test 3.12   build and check only
#   tools/wheels.sh 3.11 -- -x tests/test_hex.py    pytest arguments after --
#   TAVRO_WHEELS_MODULES="portil" ...   wheels of only these modules (development; default all)
#
# The toolchain (tools/wheels-requirements.txt, every package pinned) goes
# into build/wheels/toolchain: zig's clang, with its own libc++ linked in
# statically and glibc 2.17 as the C library it builds against
# (tools/wheels/cc and c++), CMake, Ninja, auditwheel and patchelf. Each
# version builds in build/wheels/<version> (an environment with the pinned
# scikit-build-core and a CMake build directory, both reused by the next
# run), one version after the other: a build takes both cores of these
# machines. auditwheel retags the wheel, then tools/wheelcheck.py fails it if
# it needs a newer C library than its tag says or any shared library besides
# the C library's (a C++ runtime above all).
#
# The test: a new virtual environment of that CPython, a PATH on which no
# compiler can be found (no gcc, g++, cc, c++, clang, zig, cpp; CC and CXX
# unset), `pip install --only-binary :all:` of the wheel with its test extras
# (from PyPI, as wheels), then the whole suite, run from a directory outside
# the source tree so that only the installed package can be imported.
#
# Interpreters as tools/matrix.sh finds them: 3.10 to 3.13 from pyenv; 3.14,
# 3.15 and 3.13t from ../shared/tools/extra-python (TAVRO_EXTRA_PYTHON
# overrides the path). TAVRO_WHEELS_PYTHON is the interpreter of the
# toolchain's environment (default python3).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

supported=(3.10 3.11 3.12 3.13 3.14 3.15 3.13t)
platform=manylinux_2_17_x86_64
zig_target=x86_64-linux-gnu.2.17
versions=()
pytest_args=()
run_tests=1
while [[ $# -gt 0 ]]; do
    case $1 in
        --) shift; pytest_args=("$@"); break ;;
        --no-test) run_tests=0 ;;
        -*) echo "wheels.sh: unknown option $1" >&2; exit 2 ;;
        *) versions+=("$1") ;;
    esac
    shift
done
if [[ ${#versions[@]} -eq 0 ]]; then versions=("${supported[@]}"); fi
if [[ ${#pytest_args[@]} -eq 0 ]]; then pytest_args=(-q); fi
home=$root/build/wheels
dist=$root/dist
requirements=$root/tools/wheels-requirements.txt
mkdir -p "$home" "$dist"

# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"

step_begin=0
say() { echo "== wheels: $*"; }
took() { echo "$((SECONDS - step_begin)) s"; }

# The toolchain, installed again only when the requirements change.
toolchain=$home/toolchain
tool_log=$home/toolchain.log
: >"$tool_log"
step_begin=$SECONDS
if ! cmp -s "$requirements" "$toolchain/requirements.txt"; then
    say "installing the toolchain (tools/wheels-requirements.txt)"
    if ! make_venv "${TAVRO_WHEELS_PYTHON:-python3}" "$toolchain" "$tool_log" ||
       ! "$toolchain/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
            -r "$requirements" >>"$tool_log" 2>&1; then
        tail -n 20 "$tool_log"
        say "the toolchain could not be installed (see $tool_log)"
        exit 1
    fi
    cp "$requirements" "$toolchain/requirements.txt"
    echo "($(took))"
fi
export TAVRO_ZIG TAVRO_ZIG_TARGET=$zig_target
TAVRO_ZIG=$("$toolchain/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
build_path=$toolchain/bin:$PATH

# The checker must catch what it is there to catch before it judges a wheel.
say "the wheel checker's own tests"
step_begin=$SECONDS
if ! PATH=$build_path "$toolchain/bin/python" -m pytest -q -p no:cacheprovider tools/test_wheelcheck.py >>"$tool_log" 2>&1; then
    tail -n 30 "$tool_log"
    say "the wheel checker failed its tests (see $tool_log)"
    exit 1
fi
echo "($(took))"

say "sdist"
step_begin=$SECONDS
rm -f "$dist"/tavro-*.tar.gz
if ! "$toolchain/bin/python" -m build --sdist --no-isolation --outdir "$dist" . >>"$tool_log" 2>&1; then
    tail -n 20 "$tool_log"
    say "the sdist could not be built (see $tool_log)"
    exit 1
fi
echo "$(cd "$dist" && ls tavro-*.tar.gz) ($(took))"

# A directory of links to every program on PATH but the compilers: the PATH
# of a user who has none. Checked below: none of the names may be found.
compilers=(gcc g++ cc c++ clang clang++ zig cpp c89 c99 nvcc)
no_compiler=$home/no-compiler-bin
rm -rf "$no_compiler"
mkdir -p "$no_compiler"
IFS=: read -r -a path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
    [[ -d $dir && $dir != "$no_compiler" ]] || continue
    for program in "$dir"/*; do
        name=${program##*/}
        [[ -x $program && ! -d $program && ! -e $no_compiler/$name ]] || continue
        case $name in
            *gcc* | *g++* | *clang* | cc | c++ | *-cc | *-c++ | cpp | cpp-* | *-cpp | *-cpp-* | c89 | c99 | zig | tcc | \
            icx | icpx | nvcc | *fortran*) ;;
            *) ln -s "$program" "$no_compiler/$name" ;;
        esac
    done
done

# test_wheel VERSION PYTHON WHEEL LOG: the wheel in a new environment, no
# compiler reachable, and the whole suite against it.
test_wheel() {
    local version=$1 python=$2 wheel=$3 log=$4
    local venv=$home/$version/user-venv scratch=$home/$version/user-run
    local user_path=$venv/bin:$no_compiler
    local compiler
    for compiler in "${compilers[@]}"; do
        if PATH=$user_path command -v "$compiler" >/dev/null; then
            echo "a compiler is reachable: $(PATH=$user_path command -v "$compiler")"
            return 1
        fi
    done
    rm -rf "$scratch"
    mkdir -p "$scratch"
    # shellcheck disable=SC2016
    env -u CC -u CXX PATH="$user_path" bash -c '
        set -e
        venv=$1 python=$2 wheel=$3
        shift 3
        cd "$(dirname "$venv")/user-run"
        source "$0"
        make_venv "$python" "$venv" /dev/stderr --only-binary :all:
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: "$wheel[test]"
        # Only the installed package can be imported from here.
        "$venv/bin/python" -c "import sys, tavro; where = tavro.__file__; print(\"tavro from\", where); sys.exit(not where.startswith(sys.prefix))"
        exec "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
    ' "$home/functions.sh" "$venv" "$python" "$wheel" --rootdir "$root" -c "$root/pyproject.toml" "${test_args[@]}" >>"$log" 2>&1
}
declare -f make_venv >"$home/functions.sh"

# Test paths after -- are the repository's; without one, the whole suite.
test_args=()
has_path=0
for arg in "${pytest_args[@]}"; do
    if [[ $arg == tests || $arg == tests/* ]]; then
        test_args+=("$root/$arg")
        has_path=1
    else
        test_args+=("$arg")
    fi
done
if [[ $has_path == 0 ]]; then test_args+=("$root/tests"); fi

declare -a verdicts
status=0
partial=""
if [[ ${TAVRO_WHEELS_MODULES:-all} != all ]]; then partial=" [only ${TAVRO_WHEELS_MODULES}: not for release]"; fi
for version in "${versions[@]}"; do
    begin=$SECONDS
    work=$home/$version
    log=$work/log.txt
    mkdir -p "$work"
    : >"$log"
    say "CPython $version"
    python=$(interpreter_for "$version")
    if [[ -z $python || ! -x $python ]]; then
        verdicts+=("$version  NO INTERPRETER")
        status=1
        continue
    fi
    read -r py_tag abi_tag < <("$python" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
print("cp" + v, "cp" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    venv=$work/venv
    step_begin=$SECONDS
    if { [[ -x $venv/bin/python ]] || make_venv "$python" "$venv" "$log"; } &&
       "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$requirements" scikit-build-core >>"$log" 2>&1; then
        rm -rf "$work/raw"
        rm -f "$dist"/tavro-*-"$py_tag-$abi_tag"-*.whl
        PATH=$build_path CC=$root/tools/wheels/cc CXX=$root/tools/wheels/c++ \
            "$venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
            --wheel-dir "$work/raw" --config-settings=build-dir="$work/cmake" \
            --config-settings=cmake.define.TAVRO_MODULES="${TAVRO_WHEELS_MODULES:-all}" . >>"$log" 2>&1
    fi
    raw=$(ls "$work"/raw/tavro-*-"$py_tag-$abi_tag"-linux_x86_64.whl 2>/dev/null | head -n 1)
    if [[ -z $raw ]]; then
        tail -n 30 "$log"
        verdicts+=("$version  BUILD FAILED ($((SECONDS - begin)) s, see $log)")
        status=1
        continue
    fi
    build_time=$(took)
    step_begin=$SECONDS
    PATH=$build_path "$toolchain/bin/auditwheel" repair --plat "$platform" --wheel-dir "$dist" "$raw" >>"$log" 2>&1
    wheel=$(ls "$dist"/tavro-*-"$py_tag-$abi_tag"-*"$platform"*.whl 2>/dev/null | head -n 1)
    if [[ -z $wheel ]] || ! PATH=$build_path "$toolchain/bin/python" tools/wheelcheck.py "$wheel" 2>&1 | tee -a "$log"; then
        [[ -n $wheel ]] || tail -n 20 "$log"
        verdicts+=("$version  CHECK FAILED ($((SECONDS - begin)) s, see $log)")
        status=1
        continue
    fi
    PATH=$build_path "$toolchain/bin/auditwheel" show "$wheel" >>"$log" 2>&1
    if [[ $run_tests == 0 ]]; then
        verdicts+=("$version  built: ${wheel##*/}$partial (build $build_time, $((SECONDS - begin)) s)")
        continue
    fi
    step_begin=$SECONDS
    test_wheel "$version" "$python" "$wheel" "$log"
    result=$?
    tail -n 15 "$log"
    summary=$(grep -E "(passed|failed|error)" "$log" | tail -n 1)
    if [[ $result -ne 0 ]]; then
        verdicts+=("$version  TESTS FAILED: $summary (see $log)")
        status=1
    else
        verdicts+=("$version  ok: ${wheel##*/}$partial: $summary (build $build_time, test $(took))")
    fi
done

echo "== wheels verdicts"
for line in "${verdicts[@]}"; do echo "$line"; done
ls -l "$dist"
exit $status
