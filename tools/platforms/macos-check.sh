#!/usr/bin/env bash
# The modules compiled and linked for macOS, arm64 (macOS 11.0 and later) and
# x86-64 (10.13 and later), by the pinned zig: so that a change that does not
# build there fails here, before the native runners build the wheels.
#
#   tools/platforms/macos-check.sh [VERSION...]     CPython headers of these versions (default 3.13)
#
# Each module is compiled with the flags of a Release build (CMakeLists.txt)
# and -Werror, and linked as a macOS extension module is (-undefined
# dynamic_lookup: the interpreter provides CPython's symbols when it loads
# the module); macho.py then checks that each file is a Mach-O bundle for the
# target's architecture and oldest macOS, exporting its PyInit function. No
# macOS CPython can be had here: the headers are this machine's CPython's
# (pyenv's, whose pyconfig.h is Linux's, LP64 like macOS): a check of the
# C++, the headers' use and the link, not a wheel to ship. Nothing can run them.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# shellcheck source=tools/platforms/common.sh
source tools/platforms/common.sh
# shellcheck source=tools/interpreters.sh
source tools/interpreters.sh
log=$root/build/macos-check/log.txt
mkdir -p "$root/build/macos-check"
: >"$log"
zig=$(find_zig) || exit 1

versions=("$@")
[[ ${#versions[@]} -gt 0 ]] || versions=(3.13)
modules=(tavro/lib/portil tavro/lib/binary tavro/expr tavro/lib/hex tavro/lib/bitstream tavro/_dump)
status=0
for version in "${versions[@]}"; do
    python=$(interpreter_for "$version")
    include=$([[ -n $python ]] && "$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    if [[ ! -f $include/Python.h ]]; then
        echo "macos-check: no CPython $version headers here"
        status=1
        continue
    fi
    for target in aarch64-macos.11.0 x86_64-macos.10.13; do
        out=$root/build/macos-check/$version/$target
        rm -rf "$out" && mkdir -p "$out"
        begin=$SECONDS
        failed=0
        for file in "${modules[@]}"; do
            module=${file##*/}
            if ! "$zig" c++ -target "$target" -std=c++20 -O3 -DNDEBUG -fvisibility=hidden -Wall -Wextra -Werror \
                    -shared -undefined dynamic_lookup -I "$include" -I "$root/src/native" "$root/src/$file.cpp" \
                    -o "$out/$module.so" >>"$log" 2>&1; then
                echo "macos-check: $module did not build for $target with CPython $version's headers"
                failed=1
            fi
        done
        if [[ $failed == 0 ]] && python3 tools/platforms/macho.py "$target" "$out"/*.so >>"$log" 2>&1; then
            echo "macos-check: CPython $version, $target: the six modules build and link ($((SECONDS - begin)) s)"
        else
            [[ $failed == 1 ]] || echo "macos-check: CPython $version, $target: the modules are not what macOS loads"
            status=1
        fi
    done
done
[[ $status == 0 ]] || tail -n 30 "$log"
exit $status
