#!/usr/bin/env bash
# An arm64 CPython that runs here under qemu-user, with no binfmt_misc and
# nothing installed on the system.
#
#   tools/platforms/aarch64.sh VERSION     3.13, 3.14, 3.15 (Debian unstable) or 3.11 (Debian 12)
#   tools/platforms/aarch64.sh --versions  the versions it can make
#
# Prints, on its last line, the python of a ready virtual environment (pip
# included) of that CPython; everything lives under
# $HOME/.cache/tavro-platforms/aarch64 and is reused by the next call.
#
# Debian's arm64 packages of the interpreter, its standard library and the C
# library it was built against are unpacked into root-VERSION; Debian
# unstable's qemu-user (version 11, statically linked) into qemu. The
# interpreter is run by a wrapper script, usr/bin/pythonVERSION-qemu:
#
#   * `-0 "$0"` tells the interpreter the name it was started by, so that
#     sys.executable is the wrapper (or a virtual environment's link to it):
#     venvs find their pyvenv.cfg, and child processes started with
#     sys.executable run emulated too. Programs of the host (CMake, Ninja, zig)
#     started by the emulated one run natively: qemu hands execve to the kernel.
#   * `-cpu cortex-a72`: qemu's default CPU emulates pointer authentication in
#     software, which makes the interpreter about twenty times slower; on an
#     ARMv8.0 CPU those instructions are no-ops.
#   * qemu 11 rather than Debian 12's 7.2, which lacks the TCGETS2 ioctl that
#     the newer C library's isatty() uses (every terminal would look like a file).
set -euo pipefail
# shellcheck source=tools/platforms/common.sh
source "$(dirname "$0")/common.sh"

declare -A suite_of=([3.11]=bookworm [3.13]=sid [3.14]=sid [3.15]=sid)
if [[ ${1:-} == --versions ]]; then
    printf '%s\n' "${!suite_of[@]}" | sort -V | tr '\n' ' ' | sed 's/ $/\n/'
    exit 0
fi
version=${1:?usage: aarch64.sh VERSION (or --versions)}
suite=${suite_of[$version]:-}
[[ -n $suite ]] || fail "no arm64 CPython $version in Debian (there are: ${!suite_of[*]})"
here=$cache/aarch64
root=$here/root-$version
venv=$here/venv-$version
qemu=$here/qemu/usr/bin/qemu-aarch64
mkdir -p "$here"
log=$here/setup-$version.log
reuse_venv "$venv"
: >"$log"

# The emulator: Debian unstable's qemu-user, whose programs are static.
if [[ ! -x $qemu ]]; then
    apt_suite sid amd64 arm64
    unpack_debs "$here/qemu-debs" "$here/qemu" qemu-user:amd64
    [[ -x $qemu ]] || fail "qemu-user has no qemu-aarch64"
fi

# The interpreter, its libraries and the C library, as the suite has them.
if [[ ! -x $root/usr/bin/python$version ]]; then
    case $suite in
        bookworm) libraries=(libssl3 libreadline8 libdb5.3 libcrypt1) ;;
        *) libraries=(libssl3t64 libreadline8t64 libmpdec4 libdb5.3t64) ;;
    esac
    apt_suite "$suite" amd64 arm64
    packages=("python$version" "python$version-minimal" "libpython$version-minimal" "libpython$version-stdlib"
              "libpython$version" "libpython$version-dev" "python$version-dev")
    unpack_debs "$here/debs-$version" "$root" "${packages[@]/%/:arm64}" \
        libc6:arm64 libgcc-s1:arm64 libexpat1:arm64 libffi8:arm64 zlib1g:arm64 libbz2-1.0:arm64 liblzma5:arm64 \
        libzstd1:arm64 libsqlite3-0:arm64 libuuid1:arm64 libncursesw6:arm64 libtinfo6:arm64 \
        "${libraries[@]/%/:arm64}" python3-pip-whl
    # The program's ELF interpreter is /lib/ld-linux-aarch64.so.1; with a merged
    # /usr, /lib is a link to usr/lib.
    [[ -e $root/lib ]] || ln -s usr/lib "$root/lib"
    # Debian's pyconfig.h includes <aarch64-linux-gnu/pythonX.Y/pyconfig.h>,
    # found in /usr/include when installed; unpacked, beside it.
    ln -sfn ../aarch64-linux-gnu "$root/usr/include/python$version/aarch64-linux-gnu"
    [[ -x $root/usr/bin/python$version ]] || fail "no python$version in the unpacked packages"
fi

cat >"$root/usr/bin/python$version-qemu" <<WRAPPER
#!/bin/sh
exec "\${TAVRO_QEMU:-$qemu}" -cpu "\${TAVRO_QEMU_CPU:-cortex-a72}" -L "$root" -0 "\$0" "$root/usr/bin/python$version" "\$@"
WRAPPER
chmod +x "$root/usr/bin/python$version-qemu"

# A virtual environment with Debian's pip wheel, upgraded from PyPI.
rm -rf "$venv"
"$root/usr/bin/python$version-qemu" -m venv --without-pip "$venv" >>"$log" 2>&1 || fail "venv failed"
pip_wheel=$(ls "$root"/usr/share/python-wheels/pip-*.whl | tail -n 1)
"$venv/bin/python" "$pip_wheel/pip" install -q --disable-pip-version-check "$pip_wheel" >>"$log" 2>&1 ||
    fail "pip could not be installed"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >>"$log" 2>&1 || true
"$venv/bin/python" -c 'import sys, platform, sysconfig
print(sys.version.split()[0], platform.machine(), sysconfig.get_config_var("SOABI"))' >&2 || fail "the interpreter does not run"
echo "$venv/bin/python"
