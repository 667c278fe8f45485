#!/usr/bin/env bash
# A CPython linked against musl, the C library of Alpine and of musllinux
# wheels, built here from Debian's source of that CPython.
#
#   tools/platforms/musl.sh VERSION      3.13 (Debian 13's source), 3.14 or 3.15 (Debian unstable's)
#
# Prints, on its last line, the python of a ready virtual environment (pip
# included); everything lives under $HOME/.cache/tavro-platforms/musl-x86_64
# and is reused by the next call. A build takes about four minutes of both cores.
#
# The compiler is Debian's musl-gcc (the packages musl, musl-dev and
# musl-tools, unpacked, not installed) driving the system's gcc, with three
# changes for an unpacked musl:
#   * a private copy of musl-gcc's specs file, whose paths point into the
#     unpacked root (the dynamic loader included, so that the interpreter runs
#     with that musl and finds its libc.so there);
#   * an answer to `--print-multiarch`, which CPython's configure compares with
#     the triplet it reads from the compiler (gcc itself says x86_64-linux-gnu);
#   * a link libc.so -> the loader in the musl library directory (an installed
#     musl has it in /lib; unpacked, -lc would find only libc.a).
# zlib, which pip needs to read wheels, is built from Debian's zlib source and
# linked in statically. There is no ssl: pip installs from a directory of
# wheels that the host's pip downloads (see tools/wheels/wheels.sh).
set -euo pipefail
# shellcheck source=tools/platforms/common.sh
source "$(dirname "$0")/common.sh"

version=${1:?usage: musl.sh VERSION}
declare -A suite_of=([3.13]=trixie [3.14]=sid [3.15]=sid)
suite=${suite_of[$version]:-}
[[ -n $suite ]] || fail "no musl CPython $version here (there are: ${!suite_of[*]})"
here=$cache/musl-x86_64
prefix=$here/python-$version
venv=$here/venv-$version
mkdir -p "$here"
log=$here/setup-$version.log
reuse_venv "$venv"
: >"$log"
for tool in gcc make; do
    command -v $tool >/dev/null || { apt-get update -qq && apt-get install -y -qq $tool; } >>"$log" 2>&1 ||
        fail "$tool could not be installed"
done

# musl and musl-gcc, unpacked.
root=$here/root
lib=$root/usr/lib/x86_64-linux-musl
if [[ ! -f $lib/libc.a || ! -x $here/musl-gcc ]]; then
    apt_suite bookworm amd64
    unpack_debs "$here/debs" "$root" musl musl-dev musl-tools
    ln -sfn ../../../lib/ld-musl-x86_64.so.1 "$lib/libc.so"
    sed -e "s#/usr/include/x86_64-linux-musl#$root/usr/include/x86_64-linux-musl#g" \
        -e "s#/usr/lib/x86_64-linux-musl#$lib#g" \
        -e "s#-dynamic-linker /lib/ld-musl-x86_64.so.1#-dynamic-linker $root/lib/ld-musl-x86_64.so.1#" \
        "$lib/musl-gcc.specs" >"$here/musl-gcc.specs"
    cat >"$here/musl-gcc" <<WRAPPER
#!/bin/sh
case "\$1" in --print-multiarch) echo x86_64-linux-musl; exit 0 ;; esac
exec gcc "\$@" -specs "$here/musl-gcc.specs"
WRAPPER
    chmod +x "$here/musl-gcc"
fi
cc=$here/musl-gcc

# zlib, static and position-independent, to be linked into the zlib module.
zlib=$here/zlib
if [[ ! -f $zlib/libz.a ]]; then
    tarball=$(source_tarball bookworm zlib "$here/sources")
    rm -rf "$zlib" && mkdir -p "$zlib"
    tar -xf "$tarball" -C "$zlib" --strip-components=1
    (cd "$zlib" && CC=$cc CFLAGS="-O2 -fPIC" ./configure --static && make -j2 libz.a) >>"$log" 2>&1 ||
        fail "zlib did not build"
fi

# CPython.
if [[ ! -x $prefix/bin/python$version ]]; then
    tarball=$(source_tarball "$suite" "python$version" "$here/sources")
    build=$here/build-$version
    rm -rf "$build" && mkdir -p "$build"
    tar -xf "$tarball" -C "$build" --strip-components=1
    (cd "$build" &&
        PKG_CONFIG=/bin/false CC=$cc ZLIB_CFLAGS="-I$zlib" ZLIB_LIBS="$zlib/libz.a" \
            ./configure --prefix="$prefix" --with-ensurepip=no --disable-test-modules &&
        nice make -j2 && make install) >>"$log" 2>&1 || fail "CPython $version did not build"
    rm -rf "$build"
fi
python=$prefix/bin/python$version
"$python" -c 'import zlib' || fail "the musl CPython has no zlib"

# A virtual environment, with pip from PyPI (downloaded by the host's pip).
rm -rf "$venv"
"$python" -m venv --without-pip "$venv" >>"$log" 2>&1 || fail "venv failed"
rm -rf "$here/pip" && mkdir -p "$here/pip"
python3 -m pip download -q --disable-pip-version-check --no-deps --only-binary :all: -d "$here/pip" pip >>"$log" 2>&1 ||
    fail "pip could not be downloaded"
pip_wheel=$(ls "$here"/pip/pip-*.whl | tail -n 1)
"$venv/bin/python" "$pip_wheel/pip" install -q --disable-pip-version-check --no-index "$pip_wheel" >>"$log" 2>&1 ||
    fail "pip could not be installed"
"$venv/bin/python" -c 'import sys, sysconfig
print(sys.version.split()[0], sysconfig.get_config_var("EXT_SUFFIX"))' >&2 || fail "the interpreter does not run"
echo "$venv/bin/python"
