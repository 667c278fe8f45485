#!/usr/bin/env bash
# The binary wheels of one platform, written into dist/: one per CPython the
# platform has here, each checked, then installed as a user gets it (no
# compiler reachable) and tested with the whole suite on that platform's own
# interpreter. Fails when any listed version fails a step.
#
#   tools/wheels/wheels.sh PLATFORM [--no-test] [VERSION...] [-- PYTEST ARGUMENTS]
#   tools/wheels/wheels.sh linux-x86_64              3.10 to 3.15 and the free-threaded 3.13t
#   tools/wheels/wheels.sh linux-aarch64 3.15        only this version
#   tools/wheels/wheels.sh --no-test 3.12            build and check only (PLATFORM defaults to linux-x86_64)
#   tools/wheels/wheels.sh musllinux-x86_64 -- -x tests/test_hex.py    pytest arguments after --
#   TAVRO_WHEELS_MODULES="portil" ...   wheels of only these modules (development; default all)
#
#   PLATFORM          wheel tag                interpreters, run here by
#   linux-x86_64      manylinux_2_17_x86_64    3.10-3.13 pyenv; 3.14, 3.15, 3.13t ../shared/tools/extra-python
#   linux-aarch64     manylinux_2_17_aarch64   Debian's arm64 CPythons under qemu (tools/platforms/aarch64.sh)
#   musllinux-x86_64  musllinux_1_2_x86_64     a musl CPython built here (tools/platforms/musl.sh)
#   windows-x86_64    win_amd64                python.org's embeddable CPython under wine (tools/platforms/windows.sh)
#   pure              py3-none-any             the pure-Python modules (tools/wheels/purewheel.py)
#
# The toolchain (tools/wheels-requirements.txt, every package pinned) goes
# into $HOME/.cache/tavro-platforms/toolchain-HASH (HASH: of the
# requirements; see tools/platforms/common.sh): zig's clang, with its own libc++ linked in
# statically and the oldest C library of each platform as the one it builds
# against (tools/wheels/cc and c++), CMake, Ninja, auditwheel and patchelf.
# The foreign interpreters and emulators are made by tools/platforms/ and
# kept in $HOME/.cache/tavro-platforms. Each version builds in
# build/wheels/PLATFORM/VERSION (an environment with the pinned
# scikit-build-core and a CMake build directory, both reused by the next
# run), one version after the other: a build takes both cores of these
# machines.
#
# The build: on Linux, the platform's own interpreter runs the build (under
# qemu for aarch64: pip and scikit-build-core run emulated, and the programs
# they start, CMake, Ninja and zig, run natively) with zig targeting that
# platform. For Windows, the same CPython version of this machine runs
# scikit-build-core and CMake cross-compiles with
# tools/platforms/windows-x86_64.cmake. auditwheel retags a Linux wheel, then
# tools/wheelcheck.py fails any wheel that needs a newer C library than its tag
# says, any shared library besides the C library's (and CPython's DLL on
# Windows), or the C++ runtime.
#
# The test: a new virtual environment of that CPython, a PATH on which no
# compiler can be found (no gcc, g++, cc, c++, clang, zig, cpp; CC and CXX
# unset), `pip install --only-binary :all:` of the wheel with its test extras,
# then the whole suite, run from a directory outside the source tree so that
# only the installed package can be imported. The musl CPython has no ssl and
# the embeddable Windows CPython has no pip: there this machine's pip
# downloads the test extras' wheels for that platform into a directory
# (musl: the musl pip installs from it with --no-index; Windows: the
# wheel and its extras are installed with --target into the interpreter's
# Lib/site-packages).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

platform=linux-x86_64
case ${1:-} in
    linux-x86_64 | linux-aarch64 | musllinux-x86_64 | windows-x86_64 | pure) platform=$1; shift ;;
    [a-z]*) echo "wheels.sh: unknown platform $1" >&2; exit 2 ;;
esac
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

# Per platform: the versions it has, zig's target, the tag a wheel must end
# up with, and how auditwheel gets there (none: the wheel is final as built).
case $platform in
    linux-x86_64)
        supported=(3.10 3.11 3.12 3.13 3.14 3.15 3.13t)
        zig_target=x86_64-linux-gnu.2.17 final_tag=manylinux_2_17_x86_64 raw_tag=linux_x86_64
        repair=(--plat manylinux_2_17_x86_64) ;;
    linux-aarch64)
        read -r -a supported < <(tools/platforms/aarch64.sh --versions)
        zig_target=aarch64-linux-gnu.2.17 final_tag=manylinux_2_17_aarch64 raw_tag=linux_aarch64
        # auditwheel offers only this machine's architectures by name; "auto"
        # reads the wheel's and takes the oldest policy the wheel meets.
        repair=(--plat auto) ;;
    musllinux-x86_64)
        supported=(3.13)
        zig_target=x86_64-linux-musl final_tag=musllinux_1_2_x86_64 raw_tag=linux_x86_64
        # auditwheel names only this machine's C library's tags: "auto" reads
        # the wheel's. zig links the modules to musl by the name libc.so,
        # which auditwheel would look for among this machine's libraries
        # (and find glibc's linker script there): every musl loader takes
        # that name for itself.
        repair=(--plat auto --exclude libc.so) ;;
    windows-x86_64)
        supported=(3.13)
        zig_target=x86_64-windows-gnu final_tag=win_amd64 raw_tag=win_amd64
        repair=() ;;
    pure)
        # The pure-Python wheel (tools/wheels/purewheel.py) is built once and
        # tested on PyPy and on CPython with no native module (the versions
        # here name the interpreters: pypy, or a CPython version).
        supported=(pypy 3.11)
        zig_target="" final_tag=none-any raw_tag=none-any
        repair=() ;;
esac
if [[ ${#versions[@]} -eq 0 ]]; then versions=("${supported[@]}"); fi
if [[ ${#pytest_args[@]} -eq 0 ]]; then pytest_args=(-q); fi
home=$root/build/wheels
dist=$root/dist
requirements=$root/tools/wheels-requirements.txt
mkdir -p "$home/$platform" "$dist"

# shellcheck source=tools/interpreters.sh
source "$root/tools/interpreters.sh"

step_begin=0
say() { echo "== wheels $platform: $*"; }
took() { echo "$((SECONDS - step_begin)) s"; }

# The toolchain, installed again only when the requirements change (one run
# at a time installs it; the others wait), and the older ones removed.
# shellcheck source=tools/platforms/common.sh
source "$root/tools/platforms/common.sh"
toolchain=$(wheel_toolchain)
tool_log=$home/toolchain.log
: >"$tool_log"
step_begin=$SECONDS
exec {toolchain_lock}>"$cache/toolchain.lock"
flock "$toolchain_lock"
if ! cmp -s "$requirements" "$toolchain/requirements.txt"; then
    say "installing the toolchain (tools/wheels-requirements.txt) into $toolchain"
    if ! make_venv "${TAVRO_WHEELS_PYTHON:-python3}" "$toolchain" "$tool_log" ||
       ! "$toolchain/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
            -r "$requirements" >>"$tool_log" 2>&1; then
        tail -n 20 "$tool_log"
        say "the toolchain could not be installed (see $tool_log)"
        exit 1
    fi
    cp "$requirements" "$toolchain/requirements.txt"
    find "$cache" -maxdepth 1 -name 'toolchain-*' ! -path "$toolchain" -exec rm -rf {} +
    echo "($(took))"
fi
flock -u "$toolchain_lock"
export TAVRO_ZIG TAVRO_ZIG_TARGET=$zig_target
TAVRO_ZIG=$("$toolchain/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
build_path=$toolchain/bin:$PATH
# host_pip VERSION ARGUMENTS: the pip of this machine's CPython of that
# version (so that the requirements' markers read the right version), for
# the platforms whose interpreter has none that can reach PyPI.
host_pip() {
    local version=$1 python
    shift
    python=$(interpreter_for "$version")
    [[ -n $python ]] || { echo "no CPython $version here to download for that platform" >>"$log"; return 1; }
    "$python" -m pip --disable-pip-version-check -q "$@"
}

# The checker must catch what it is there to catch before it judges a wheel.
say "the wheel checker's own tests"
step_begin=$SECONDS
if ! PATH=$build_path "$toolchain/bin/python" -m pytest -q -p no:cacheprovider tools/test_wheelcheck.py >>"$tool_log" 2>&1; then
    tail -n 30 "$tool_log"
    say "the wheel checker failed its tests (see $tool_log)"
    exit 1
fi
echo "($(took))"

if [[ $platform == linux-x86_64 ]]; then
    say "sdist"
    step_begin=$SECONDS
    rm -f "$dist"/tavro-*.tar.gz
    if ! "$toolchain/bin/python" -m build --sdist --no-isolation --outdir "$dist" . >>"$tool_log" 2>&1; then
        tail -n 20 "$tool_log"
        say "the sdist could not be built (see $tool_log)"
        exit 1
    fi
    echo "$(cd "$dist" && ls tavro-*.tar.gz) ($(took))"
fi

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
no_compiler_reachable() {
    local compiler
    for compiler in "${compilers[@]}"; do
        if PATH=$no_compiler command -v "$compiler" >/dev/null; then
            echo "a compiler is reachable: $(PATH=$no_compiler command -v "$compiler")"
            return 1
        fi
    done
}
declare -f make_venv >"$home/functions.sh"

# Test paths after -- are the repository's; without one, the whole suite.
# The Windows interpreter sees this machine's / as its drive Z:.
tests_root=$root
[[ $platform == windows-x86_64 ]] && tests_root=Z:$root
test_args=(-p no:cacheprovider --rootdir "$tests_root" -c "$tests_root/pyproject.toml")
has_path=0
for arg in "${pytest_args[@]}"; do
    if [[ $arg == tests || $arg == tests/* ]]; then
        test_args+=("$tests_root/$arg")
        has_path=1
    else
        test_args+=("$arg")
    fi
done
if [[ $has_path == 0 ]]; then test_args+=("$tests_root/tests"); fi

# interpreter VERSION: the platform's python (for Windows, the directory of
# that CPython), or nothing.
interpreter() {
    local version=$1
    case $platform in
        linux-x86_64 | pure) interpreter_for "$version" ;;
        linux-aarch64) tools/platforms/aarch64.sh "$version" 2>>"$log" | tail -n 1 ;;
        musllinux-x86_64) tools/platforms/musl.sh "$version" 2>>"$log" | tail -n 1 ;;
        windows-x86_64) tools/platforms/windows.sh "$version" 2>>"$log" | tail -n 1 ;;
    esac
}

# wheelhouse VERSION WHEEL...: the wheels (with their test extras) and their
# dependencies, downloaded by this machine's pip for the platform into
# $work/wheelhouse, for an interpreter that cannot reach PyPI itself.
wheelhouse() {
    local version=$1
    shift
    rm -rf "$work/wheelhouse"
    host_pip "$version" download --only-binary :all: --platform "$final_tag" --python-version "$version" \
        --implementation cp --abi "cp${version/./}" --dest "$work/wheelhouse" "$@" >>"$log" 2>&1
}

# build VERSION PYTHON: the raw wheel in $work/raw.
build() {
    local version=$1 python=$2
    local common=(--config-settings=build-dir="$work/cmake"
                  --config-settings=cmake.define.TAVRO_MODULES="${TAVRO_WHEELS_MODULES:-all}")
    if [[ $platform == windows-x86_64 ]]; then
        # This machine's CPython of the same version runs the build backend;
        # the toolchain file names the target and the Windows CPython's files.
        local host
        host=$(interpreter_for "$version")
        [[ -n $host ]] || { echo "no CPython $version here to run the cross build" >>"$log"; return 1; }
        if [[ ! -x $work/venv/bin/python ]]; then make_venv "$host" "$work/venv" "$log" || return 1; fi
        "$work/venv/bin/python" -m pip install -q --disable-pip-version-check -c "$requirements" \
            scikit-build-core >>"$log" 2>&1 || return 1
        PATH=$build_path CC=$root/tools/wheels/cc CXX=$root/tools/wheels/c++ TAVRO_CROSS_PYTHON=$python \
            _PYTHON_HOST_PLATFORM=win-amd64 SETUPTOOLS_EXT_SUFFIX=".cp${version/./}-win_amd64.pyd" \
            "$work/venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
            --wheel-dir "$work/raw" "${common[@]}" --config-settings=cmake.python-hints=false \
            --config-settings=cmake.toolchain-file="$root/tools/platforms/windows-x86_64.cmake" . >>"$log" 2>&1
        return
    fi
    local pip_source=()
    if [[ $platform == musllinux-x86_64 ]]; then
        host_pip "$version" download --only-binary :all: --platform "$final_tag" --python-version "$version" \
            --implementation cp --dest "$work/build-wheels" -c "$requirements" pip scikit-build-core >>"$log" 2>&1 ||
            return 1
        pip_source=(--no-index --find-links "$work/build-wheels")
    fi
    if [[ ! -x $work/venv/bin/python ]]; then make_venv "$python" "$work/venv" "$log" "${pip_source[@]}" || return 1; fi
    "$work/venv/bin/python" -m pip install -q --disable-pip-version-check "${pip_source[@]}" -c "$requirements" \
        scikit-build-core >>"$log" 2>&1 || return 1
    PATH=$build_path CC=$root/tools/wheels/cc CXX=$root/tools/wheels/c++ CMAKE_BUILD_PARALLEL_LEVEL=2 \
        "$work/venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps \
        --wheel-dir "$work/raw" "${common[@]}" . >>"$log" 2>&1
}

# test_wheel VERSION PYTHON WHEEL: the wheel as a user installs it, no
# compiler reachable, and the whole suite against it.
test_wheel() {
    local version=$1 python=$2 wheel=$3
    local venv=$work/user-venv scratch=$work/user-run
    no_compiler_reachable || return 1
    rm -rf "$scratch"
    mkdir -p "$scratch"
    if [[ $platform == windows-x86_64 ]]; then
        test_windows_wheel "$version" "$python" "$wheel"
        return
    fi
    local pip_source=()
    if [[ $platform == musllinux-x86_64 ]]; then
        wheelhouse "$version" "$wheel[test]" pip || return 1
        pip_source=(--no-index --find-links "$work/wheelhouse")
    fi
    # shellcheck disable=SC2016
    env -u CC -u CXX PATH="$venv/bin:$no_compiler" bash -c '
        set -e
        venv=$1 python=$2 wheel=$3 sources=$4
        shift 4
        cd "$(dirname "$venv")/user-run"
        source "$0"
        # shellcheck disable=SC2086
        make_venv "$python" "$venv" /dev/stderr --only-binary :all: $sources
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: $sources "$wheel[test]"
        # Only the installed package can be imported from here.
        "$venv/bin/python" -c "import sys, tavro; where = tavro.__file__; print(\"tavro from\", where); sys.exit(not where.startswith(sys.prefix))"
        exec "$venv/bin/python" -m pytest "$@"
    ' "$home/functions.sh" "$venv" "$python" "$wheel" "${pip_source[*]}" "${test_args[@]}" >>"$log" 2>&1
}

# run_windows_tests PYTHON_DIR PYTEST_ARGS...: the suite under wine, its
# output appended to the log, with pytest's cache (which the other platforms
# leave out) in the work directory.
run_windows_tests() {
    local python_dir=$1
    shift
    local args=(-o "cache_dir=Z:$work/pytest-cache")
    while (($#)); do
        if [[ $1 == -p && ${2-} == no:cacheprovider ]]; then shift 2; continue; fi
        args+=("$1")
        shift
    done
    env -u CC -u CXX PATH="$no_compiler" "$python_dir/python" -m pytest "${args[@]}" </dev/null 2>&1 | cat >>"$log"
    return "${PIPESTATUS[0]}"
}

# The embeddable CPython: the wheel and its test extras installed by this
# machine's pip with --target into the interpreter's Lib/site-packages.
test_windows_wheel() {
    local version=$1 python_dir=$2 wheel=$3
    local site=$python_dir/Lib/site-packages
    rm -rf "$site"
    host_pip "$version" install --only-binary :all: --platform win_amd64 --python-version "$version" \
        --implementation cp --abi "cp${version/./}" --target "$site" "$wheel[test]" >>"$log" 2>&1 || return 1
    # wine's CPython cannot set up its standard streams on a regular file:
    # its output goes through a pipe.
    (
        cd "$work/user-run" || exit 1
        env -u CC -u CXX PATH="$no_compiler" "$python_dir/python" -c \
            "import sys, tavro; where = tavro.__file__; print('tavro from', where); sys.exit(not where.startswith(sys.prefix))" \
            </dev/null 2>&1 | cat >>"$log"
        [[ ${PIPESTATUS[0]} == 0 ]] || exit 1
        run_windows_tests "$python_dir" "${test_args[@]}"
        result=$?
        # wine now and then fails to start a child process (CreateProcess:
        # "[WinError 1359] Internal error"): the tests that failed then run
        # once more, and only they, which pytest's cache in the work
        # directory knows.
        if [[ $result != 0 ]] && grep -q "WinError 1359" "$log"; then
            local first
            first=$(grep -E "(passed|failed|error)" "$log" | tail -n 1)
            echo "== wine could not start a process: the failed tests once more" >>"$log"
            run_windows_tests "$python_dir" "${test_args[@]}" --last-failed --last-failed-no-failures none
            result=$?
            echo "$first; run again: $(grep -E "(passed|failed|error)" "$log" | tail -n 1)" >>"$log"
        fi
        exit "$result"
    )
}

# verdict VERSION STATUS WHEEL TIMES: the line of a tested wheel.
verdict() {
    local version=$1 result=$2 wheel=$3 times=$4 summary
    tail -n 15 "$log"
    summary=$(grep -E "(passed|failed|error)" "$log" | tail -n 1)
    if [[ $result -ne 0 ]]; then
        verdicts+=("$version  TESTS FAILED: $summary (see $log)")
        status=1
    else
        verdicts+=("$version  ok: ${wheel##*/}$partial: $summary ($times, test $(took))")
    fi
}

declare -a verdicts
status=0
partial=""
if [[ ${TAVRO_WHEELS_MODULES:-all} != all ]]; then partial=" [only ${TAVRO_WHEELS_MODULES}: not for release]"; fi
pure_wheel=""
if [[ $platform == pure ]]; then
    # The pure-Python wheel, built once by `tools/wheels/purewheel.py DIR`
    # (which prints the wheel's path), then tested like the others on each
    # listed interpreter: PyPy, and CPython where no native module exists.
    if [[ ! -f tools/wheels/purewheel.py ]]; then
        say "tools/wheels/purewheel.py is not there yet: no pure-Python wheel"
        exit 1
    fi
    rm -f "$dist"/tavro-*-py3-none-any.whl
    pure_wheel=$("$toolchain/bin/python" tools/wheels/purewheel.py "$dist" 2>>"$tool_log" | tail -n 1)
    [[ -f $pure_wheel ]] || { tail -n 20 "$tool_log"; say "the pure-Python wheel could not be built"; exit 1; }
fi
for version in "${versions[@]}"; do
    begin=$SECONDS
    work=$home/$platform/$version
    log=$work/log.txt
    mkdir -p "$work"
    : >"$log"
    say "CPython $version"
    step_begin=$SECONDS
    python=$(interpreter "$version")
    if [[ -z $python || ! -e $python ]]; then
        tail -n 20 "$log"
        verdicts+=("$version  NO INTERPRETER (see $log)")
        status=1
        continue
    fi
    prepare_time=$(took)
    if [[ -n $pure_wheel ]]; then
        step_begin=$SECONDS
        test_wheel "$version" "$python" "$pure_wheel"
        verdict "$version" $? "$pure_wheel" "interpreter $prepare_time"
        continue
    fi
    if [[ $platform == windows-x86_64 ]]; then
        py_tag=cp${version/./} abi_tag=cp${version/./}
    else
        read -r py_tag abi_tag < <("$python" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
print("cp" + v, "cp" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>>"$log")
    fi
    step_begin=$SECONDS
    rm -rf "$work/raw"
    rm -f "$dist"/tavro-*-"$py_tag-$abi_tag"-*"$final_tag"*.whl
    build "$version" "$python"
    raw=$(ls "$work"/raw/tavro-*-"$py_tag-$abi_tag-$raw_tag".whl 2>/dev/null | head -n 1)
    if [[ -z $raw ]]; then
        tail -n 30 "$log"
        verdicts+=("$version  BUILD FAILED ($((SECONDS - begin)) s, see $log)")
        status=1
        continue
    fi
    build_time=$(took)
    if [[ ${#repair[@]} -gt 0 ]]; then
        PATH=$build_path "$toolchain/bin/auditwheel" repair "${repair[@]}" --wheel-dir "$dist" "$raw" >>"$log" 2>&1
    else
        cp "$raw" "$dist/"
    fi
    wheel=$(ls "$dist"/tavro-*-"$py_tag-$abi_tag"-*"$final_tag"*.whl 2>/dev/null | head -n 1)
    if [[ -z $wheel ]] || ! PATH=$build_path "$toolchain/bin/python" tools/wheelcheck.py "$wheel" 2>&1 | tee -a "$log"; then
        [[ -n $wheel ]] || { tail -n 20 "$log"; echo "no $final_tag wheel: $(ls "$dist")"; }
        verdicts+=("$version  CHECK FAILED ($((SECONDS - begin)) s, see $log)")
        status=1
        continue
    fi
    if [[ $platform != windows-x86_64 ]]; then PATH=$build_path "$toolchain/bin/auditwheel" show "$wheel" >>"$log" 2>&1; fi
    if [[ $run_tests == 0 ]]; then
        verdicts+=("$version  built: ${wheel##*/}$partial (interpreter $prepare_time, build $build_time)")
        continue
    fi
    step_begin=$SECONDS
    test_wheel "$version" "$python" "$wheel"
    verdict "$version" $? "$wheel" "interpreter $prepare_time, build $build_time"
done

echo "== wheels $platform verdicts"
for line in "${verdicts[@]}"; do echo "$line"; done
ls -l "$dist"
exit $status
