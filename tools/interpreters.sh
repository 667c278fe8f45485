# Sourced by tools/matrix.sh and tools/wheels/wheels.sh: where each supported CPython
# comes from, and how a virtual environment is made with it. Expects $root
# (the repository) to be set.

extra_python=${TAVRO_EXTRA_PYTHON:-$root/../shared/tools/extra-python}

# interpreter_for VERSION: the python of 3.10 to 3.13 from pyenv; of 3.14,
# 3.15 and 3.13t (the free-threaded 3.13) from ../shared/tools/extra-python.
# Prints nothing when there is none.
interpreter_for() {
    local version=$1
    case $version in
        3.1[0-3])
            local found
            found=$(ls -d "$(pyenv root)"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1)
            [[ -n $found ]] && echo "$found"
            ;;
        *)
            "$extra_python" "$version" 2>/dev/null | tail -n 1
            ;;
    esac
}

# make_venv PYTHON DIR LOG [pip options]: a new virtual environment with pip.
# Interpreters without ensurepip (Debian's) lend the environment their own pip,
# which then installs pip into it.
make_venv() {
    local python=$1 venv=$2 log=$3
    shift 3
    rm -rf "$venv"
    "$python" -m venv "$venv" >>"$log" 2>&1 && return 0
    rm -rf "$venv"
    local pip_home
    pip_home=$("$python" -c 'import os, pip; print(os.path.dirname(os.path.dirname(pip.__file__)))' 2>>"$log") &&
        "$python" -m venv --without-pip "$venv" >>"$log" 2>&1 &&
        PYTHONPATH=$pip_home "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            --ignore-installed "$@" pip >>"$log" 2>&1
}
